#include "exact/oblique_decision.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "common/total_order.hpp"
#include "decide/projected_cut.hpp"
#include "decide/ranking.hpp"
#include "exact/pair_moments.hpp"
#include "exact/projection_stats.hpp"
#include "tree/pair_solver.hpp"

namespace vorlent {
namespace {

// Standard deviations either side of the mean that a projected histogram spans.
constexpr double kRangeDeviations = 4.0;

// The smallest and largest training value of a column's node rows, from the bins of its
// histogram that hold rows (the missing bin left out); false when none does.
bool column_range(const int64_t* block, const HistogramShape& shape, const BinnedMatrix& bins,
                  int32_t f, double& lo, double& hi) {
    const int64_t* cells = block + kNodeWords + kCellWords * int64_t{shape.bin_offset[f]};
    int32_t n_bins = shape.bin_offset[f + 1] - shape.bin_offset[f];
    if (bins.has_missing[f]) --n_bins;
    int32_t first = -1, last = -1;
    for (int32_t b = 0; b < n_bins; ++b) {
        if (cells[kCellWords * b + 2] == 0) continue;
        if (first < 0) first = b;
        last = b;
    }
    if (first < 0) return false;
    lo = bins.bin_low[f][first];
    hi = bins.bin_high[f][last];
    return true;
}

// The range of c * x for x in [lo, hi].
void scaled_range(double c, double lo, double hi, double& out_lo, double& out_hi) {
    out_lo = std::min(c * lo, c * hi);
    out_hi = std::max(c * lo, c * hi);
}

// The histogram's range: the box, narrowed to the mean plus or minus kRangeDeviations
// standard deviations where the moments allow.
bool histogram_range(double box_lo, double box_hi, double H, double sum_v, double sum_vv,
                     double& lo, double& hi) {
    lo = box_lo;
    hi = box_hi;
    if (H > kTiny) {
        const double mean = sum_v / H;
        const double var = std::max(sum_vv / H - mean * mean, 0.0);
        const double spread = kRangeDeviations * std::sqrt(var);
        if (std::isfinite(mean) && std::isfinite(spread)) {
            lo = std::isfinite(lo) ? std::max(lo, mean - spread) : mean - spread;
            hi = std::isfinite(hi) ? std::min(hi, mean + spread) : mean + spread;
        }
    }
    return std::isfinite(lo) && std::isfinite(hi) && hi > lo;
}

bool propose_numeric(const int64_t* item, const ColumnPair& pair, const int64_t* block,
                     const HistogramShape& shape, const ObliqueSettings& settings,
                     ObliqueCandidate& out) {
    const TreeParams& t = *settings.tree;
    const PairSums s = pair_sums_of(item, pair, *settings.bins, settings.grids);
    std::vector<double> scale(static_cast<size_t>(std::max(pair.a, pair.b)) + 1, 1.0);
    scale[pair.a] = node_scale(s.H, s.S_a, s.S_aa);
    scale[pair.b] = node_scale(s.H, s.S_b, s.S_bb);
    const PairConfig config{t.reg_lambda, &t.categorical, &t.monotone, &scale};
    const PairDirection d = solve_pair_ridge(s, config, pair.a, pair.b);
    if (!(d.prescore >= 0.0)) return false;
    const double ca = d.coef_a, cb = d.coef_b;
    double box_lo = -kInf, box_hi = kInf, a_lo, a_hi, b_lo, b_hi;
    if (column_range(block, shape, *settings.bins, pair.a, a_lo, a_hi) &&
        column_range(block, shape, *settings.bins, pair.b, b_lo, b_hi)) {
        double l1, h1, l2, h2;
        scaled_range(ca, a_lo, a_hi, l1, h1);
        scaled_range(cb, b_lo, b_hi, l2, h2);
        box_lo = l1 + l2;
        box_hi = h1 + h2;
    }
    const double sum_v = ca * s.S_a + cb * s.S_b;
    const double sum_vv = ca * ca * s.S_aa + 2.0 * ca * cb * s.S_ab + cb * cb * s.S_bb;
    Projection& p = out.projection;
    if (!histogram_range(box_lo, box_hi, s.H, sum_v, sum_vv, p.lo, p.hi)) return false;
    p.form = kPairForm;
    p.feature_a = pair.a;
    p.feature_b = pair.b;
    p.coef_a = ca;
    p.coef_b = cb;
    out.prescore = d.prescore;
    return true;
}

bool propose_category(const int64_t* item, const ColumnPair& pair, const int64_t* block,
                      const HistogramShape& shape, const ObliqueSettings& settings,
                      ObliqueCandidate& out) {
    const TreeParams& t = *settings.tree;
    const CategorySums s = category_sums_of(item, pair, *settings.bins, settings.grids);
    const std::vector<double> no_scale;
    const PairConfig config{t.reg_lambda, &t.categorical, &t.monotone, &no_scale};
    const int32_t n_codes = pair.top + 1;
    double offsets[kMaxPairCategories] = {};
    const PairDirection d = solve_category_sums(s, config, n_codes, offsets);
    if (!(d.prescore >= 0.0)) return false;
    const double cb = d.coef_b;
    // Codes outside 0 .. top take no offset.
    double off_lo = 0.0, off_hi = 0.0, sum_v = 0.0, sum_vv = 0.0, S = 0.0;
    for (int32_t q = 0; q < n_codes; ++q) {
        off_lo = std::min(off_lo, offsets[q]);
        off_hi = std::max(off_hi, offsets[q]);
        sum_v += offsets[q] * s.n_q[q];
        sum_vv += offsets[q] * offsets[q] * s.n_q[q] + 2.0 * cb * offsets[q] * s.s_q[q];
        S += s.s_q[q];
    }
    sum_v += cb * S;
    sum_vv += cb * cb * s.sxx;
    double box_lo = -kInf, box_hi = kInf, b_lo, b_hi;
    if (column_range(block, shape, *settings.bins, pair.b, b_lo, b_hi)) {
        double l, h;
        scaled_range(cb, b_lo, b_hi, l, h);
        box_lo = off_lo + l;
        box_hi = off_hi + h;
    }
    Projection& p = out.projection;
    if (!histogram_range(box_lo, box_hi, s.hc, sum_v, sum_vv, p.lo, p.hi)) return false;
    p.form = kCategoryForm;
    p.feature_a = pair.a;
    p.feature_b = pair.b;
    p.coef_a = 1.0;
    p.coef_b = cb;
    p.offsets.assign(offsets, offsets + n_codes);
    out.prescore = d.prescore;
    return true;
}

// The largest category code of a categorical column's node rows (0 when none is positive),
// from the bins of its histogram that hold rows; -1 when a value lies beyond 32-bit codes.
int32_t largest_node_code(const int64_t* block, const HistogramShape& shape,
                          const BinnedMatrix& bins, int32_t f) {
    const int64_t* cells = block + kNodeWords + kCellWords * int64_t{shape.bin_offset[f]};
    int32_t n_bins = shape.bin_offset[f + 1] - shape.bin_offset[f];
    if (bins.has_missing[f]) --n_bins;
    int32_t top = 0;
    for (int32_t b = 0; b < n_bins; ++b) {
        if (cells[kCellWords * b + 2] == 0) continue;
        // A categorical column's bin holds one distinct value; both ends are checked all
        // the same, so that a wider bin cannot hide a code.
        for (const double v : {bins.bin_low[f][b], bins.bin_high[f][b]}) {
            const int32_t code = category_code(v);
            if (code == std::numeric_limits<int32_t>::min()) return -1;
            top = std::max(top, code);
        }
    }
    return top;
}

}  // namespace

double node_scale(double H, double S, double SS) {
    if (!(H > kTiny)) return 1.0;
    const double mean = S / H;
    const double sd = std::sqrt(std::max(SS / H - mean * mean, 0.0));
    return sd < kTiny ? kTiny : sd;
}

std::vector<int32_t> paired_columns(const std::vector<int32_t>& features, const int64_t* block,
                                    const HistogramShape& shape, const NodeTotals& node,
                                    const CutSettings& cut_settings, int32_t max_pair_columns) {
    const auto count = static_cast<int32_t>(features.size());
    if (!ranks_columns(max_pair_columns, count)) return features;
    std::vector<double> gains(features.size());
    std::vector<int32_t> listed, order, top;
    for (int32_t i = 0; i < count; ++i) {
        ExactCut best;
        const int32_t f = features[i];
        scan_feature_cuts(f, block + kNodeWords + kCellWords * int64_t{shape.bin_offset[f]}, node,
                          cut_settings, listed, best);
        gains[i] = best.gain;
    }
    top_positions(gains.data(), count, max_pair_columns, order, top);
    std::vector<int32_t> out;
    for (const int32_t at : top) out.push_back(features[at]);
    return out;
}

void column_pairs(const std::vector<int32_t>& columns, const int64_t* block,
                  const HistogramShape& shape, const BinnedMatrix& bins,
                  const std::vector<int32_t>& categorical, std::vector<ColumnPair>& out) {
    out.clear();
    auto is_categorical = [&](int32_t f) {
        return static_cast<size_t>(f) < categorical.size() && categorical[f] != 0;
    };
    for (size_t i = 0; i < columns.size(); ++i) {
        for (size_t j = i + 1; j < columns.size(); ++j) {
            const int32_t a = columns[i], b = columns[j];
            ColumnPair pair{a, b, -1};
            if (is_categorical(a) != is_categorical(b)) {
                const int32_t cat = is_categorical(a) ? a : b;
                const int32_t top = largest_node_code(block, shape, bins, cat);
                if (top >= 1 && top < kMaxPairCategories) {
                    pair = ColumnPair{cat, cat == a ? b : a, top};
                }
            }
            out.push_back(pair);
        }
    }
}

bool propose_direction(const int64_t* item, const ColumnPair& pair, const int64_t* block,
                       const HistogramShape& shape, const ObliqueSettings& settings,
                       ObliqueCandidate& out) {
    return pair.top >= 0 ? propose_category(item, pair, block, shape, settings, out)
                         : propose_numeric(item, pair, block, shape, settings, out);
}

void keep_best_candidates(std::vector<ObliqueCandidate>& candidates, size_t keep) {
    if (keep == 0 || candidates.size() <= keep) return;
    std::vector<double> scores(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) scores[i] = candidates[i].prescore;
    std::vector<int32_t> order, top;
    top_positions(scores.data(), static_cast<int32_t>(scores.size()), static_cast<int32_t>(keep),
                  order, top);
    std::vector<ObliqueCandidate> kept;
    kept.reserve(top.size());
    for (const int32_t at : top) kept.push_back(std::move(candidates[at]));
    candidates.swap(kept);
}

ObliqueCut best_projection_cut(const int64_t* item, int32_t bins, const NodeTotals& node,
                               const CutSettings& settings) {
    ObliqueCut best;
    const GridCells<NodeTotals, FixedGrid> cells{item, kProjectedCellWords, node,
                                                 &settings.grids.grad, &settings.grids.hess};
    std::vector<int32_t> listed(static_cast<size_t>(std::max(bins, 0)));
    const int32_t count = list_occupied(cells, bins, listed.data());
    if (count < 2) return best;
    const NodeTotals missing = cells.at(bins + 1);
    int32_t last_left = -1;
    scan_projected_cut(cells, [&](int32_t k) { return listed[k]; }, count - 1,
                       settings.learn_missing && missing.count > 0 ? &missing : nullptr,
                       settings.lambda, best.gain,
                       [&](int32_t k, const NodeTotals& left, double, int32_t missing_right) {
                           last_left = listed[k];
                           best.missing_right = missing_right;
                           best.left = left;
                           return true;
                       });
    if (last_left < 0) return best;
    auto range = [&](int32_t c, double& low, double& high) {
        const int64_t* w = item + kProjectedCellWords * c;
        low = key_value(static_cast<uint64_t>(w[3]));
        high = key_value(static_cast<uint64_t>(w[4]));
        return w[2] > 0;
    };
    best.threshold = projected_threshold(last_left, bins, range);
    return best;
}

}  // namespace vorlent
