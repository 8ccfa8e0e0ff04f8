#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "common/total_order.hpp"
#include "exact/counter_random.hpp"
#include "exact/level_stats.hpp"
#include "exact/oblique_decision.hpp"
#include "exact/pair_moments.hpp"
#include "exact/projection_stats.hpp"
#include "exact/screen_sums.hpp"
#include "exact/screening_decision.hpp"
#include "exact_fixtures.hpp"
#include "model/routing.hpp"
#include "prep/binning.hpp"
#include "tree/projected_histogram.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

constexpr int32_t kNodes = 4;
constexpr int32_t kCols = 5;  // the last one categorical (codes 0 .. 5, NaN)

struct Case {
    AwkwardTable table;
    BinnedMatrix bins;
    MatrixView X;
    std::vector<double> grad, hess;
    std::vector<int32_t> node_of;
    int32_t k = 1;
    RoundGrids grids;
};

struct Part {
    std::vector<int32_t> rows;
    ShardRows shard;
    ShardTree tree;
};

void start(const Case& c, Part& p) {
    p.shard = ShardRows{&c.bins, c.X, p.rows.data(), static_cast<int64_t>(p.rows.size()), nullptr};
    begin_tree(p.shard, tree_key(kBagStream, 3, 1), 1.0, c.grad.data(), c.hess.data(), c.k, p.tree);
    for (size_t i = 0; i < p.tree.bag.size(); ++i) p.tree.node[i] = c.node_of[p.tree.bag[i]];
    fix_gradients(p.shard, c.grad.data(), c.hess.data(), c.k, c.grids, p.tree);
}

// Random projections of every form, some with awkward coefficients (0, huge, tiny).
Projection random_projection(std::mt19937& gen, int32_t form) {
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    std::uniform_int_distribution<int32_t> col(0, kCols - 2);
    Projection p;
    p.form = form;
    if (form == kTermsForm) {
        for (int32_t f = 0; f < kCols - 1; ++f) {
            if (gen() % 3 == 0) continue;
            p.features.push_back(f);
            p.coefs.push_back(gen() % 5 == 0 ? 0.0 : u(gen));
        }
        p.start = u(gen);
    } else {
        p.feature_a = form == kCategoryForm ? kCols - 1 : col(gen);
        p.feature_b = col(gen);
        p.coef_a = u(gen);
        p.coef_b = gen() % 7 == 0 ? 1e300 : u(gen);
        if (form == kCategoryForm) {
            for (int32_t q = 0; q < 4; ++q) p.offsets.push_back(u(gen));  // codes 4, 5: none
        }
    }
    p.lo = u(gen) - 2.0;
    p.hi = gen() % 6 == 0 ? p.lo : p.lo + 4.0 * std::fabs(u(gen));
    return p;
}

StatsRequest projection_request(int64_t kind, std::mt19937& gen, int32_t k) {
    StatsRequest r;
    r.kind = static_cast<StatsKind>(kind);
    r.nodes = {2, 0, 3};
    r.node_ids = kNodes;
    r.projection_bins = 1 + static_cast<int32_t>(gen() % 9);
    r.item_begin = {0};
    for (size_t t = 0; t < r.nodes.size(); ++t) {
        const int32_t n = t == 1 ? 0 : 4;  // a node without projections
        for (int32_t j = 0; j < n; ++j) r.projections.push_back(random_projection(gen, j % 3));
        r.item_begin.push_back(r.item_begin.back() + n);
        r.first_output.push_back(k > 1 ? 2 : 0);
        r.second_output.push_back(k > 1 ? static_cast<int32_t>(t % 2) : 0);
    }
    return r;
}

StatsRequest moment_request(int32_t k) {
    StatsRequest r;
    r.kind = kPairMoments;
    r.nodes = {1, 3};
    r.node_ids = kNodes;
    r.pairs = {{0, 1, -1}, {2, 0, -1}, {kCols - 1, 1, 5}, {kCols - 1, 3, 2}, {1, 2, -1}};
    r.item_begin = {0, 3, 5};
    r.first_output = {k > 1 ? 1 : 0, 0};
    r.second_output = {0, k > 1 ? 2 : 0};
    return r;
}

// The row's gradient pair for node t of a request, on the grids, by the obvious lines.
void naive_gradient(const Case& c, const StatsRequest& r, size_t t, int32_t row, int64_t& g,
                    int64_t& h) {
    const int32_t k = c.k, p = r.first_output[t], q = r.second_output[t];
    g = c.grids.grad.fixed(c.grad[row * k + p]);
    h = c.grids.hess.fixed(c.hess[row * k + p]);
    if (k > 1) {
        g -= c.grids.grad.fixed(c.grad[row * k + q]);
        h += c.grids.hess.fixed(c.hess[row * k + q]);
    }
}

// The value prediction compares for a projection (NaN when a value is missing): a pair
// node's pair_value, or the sum a projection node forms.
double reference_value(const Projection& p, const double* row, bool& missing) {
    missing = false;
    if (p.form == kTermsForm) {
        std::vector<double> d(kCols, 0.0);
        for (size_t j = 0; j < p.features.size(); ++j) d[p.features[j]] = p.coefs[j];
        double s = p.start;
        for (int32_t f = 0; f < kCols; ++f) {
            if (d[f] == 0.0) continue;
            if (std::isnan(row[f])) missing = true;
            s += row[f] * d[f];
        }
        return s;
    }
    const double a = row[p.feature_a], b = row[p.feature_b];
    missing = std::isnan(a) || std::isnan(b);
    return pair_value(p.form == kCategoryForm ? kCategoryPair : kLinearPair, p.coef_a, p.coef_b,
                      p.offsets, a, b);
}

// The words of a projection request computed row by row from the definitions.
std::vector<int64_t> naive_projection_words(const Case& c, const StatsRequest& r) {
    const int64_t item = projection_item_words(r.kind, r.projection_bins);
    std::vector<int64_t> w(r.projections.size() * static_cast<size_t>(item), 0);
    init_projection_words(r, w.data());
    const int32_t bins = r.projection_bins;
    for (size_t t = 0; t < r.nodes.size(); ++t) {
        for (int32_t row = 0; row < c.table.rows; ++row) {
            if (c.node_of[row] != r.nodes[t]) continue;
            int64_t g, h;
            naive_gradient(c, r, t, row, g, h);
            for (int32_t j = r.item_begin[t]; j < r.item_begin[t + 1]; ++j) {
                const Projection& p = r.projections[j];
                bool missing;
                const double v = reference_value(p, c.X.row(row), missing);
                int64_t* it = w.data() + j * item;
                if (r.kind == kProjectionRanges) {
                    const int64_t slot = missing ? 1 : (std::isfinite(v) ? 0 : 2);
                    it[slot] += 1;
                    if (slot == 0) {
                        it[3] = static_cast<int64_t>(
                            std::min(static_cast<uint64_t>(it[3]), sort_key(v)));
                        it[4] = static_cast<int64_t>(
                            std::max(static_cast<uint64_t>(it[4]), sort_key(v)));
                    }
                    continue;
                }
                const double scale = p.hi > p.lo ? bins / (p.hi - p.lo) : INFINITY;
                int64_t cell = bins + 1;
                if (!missing) cell = std::isnan(v) ? bins : clamp_bin((v - p.lo) * scale, bins);
                int64_t* cw = it + 5 * cell;
                cw[0] += g;
                cw[1] += h;
                cw[2] += 1;
                if (cell < bins) {
                    cw[3] =
                        static_cast<int64_t>(std::min(static_cast<uint64_t>(cw[3]), sort_key(v)));
                    cw[4] =
                        static_cast<int64_t>(std::max(static_cast<uint64_t>(cw[4]), sort_key(v)));
                }
            }
        }
    }
    return w;
}

Case make_case(uint32_t trial) {
    Case c;
    c.k = trial % 2 == 0 ? 1 : 3;
    c.table = awkward_table(150 + 41 * static_cast<int32_t>(trial), kCols, trial + 50);
    // On odd trials columns 0 to 2 hold finite numbers only, whose pairs share their
    // columns' sums.
    for (int32_t r = 0; r < c.table.rows && trial % 2 == 1; ++r) {
        for (int32_t f = 0; f < 3; ++f) {
            double& v = c.table.x[static_cast<size_t>(r) * kCols + f];
            if (!std::isfinite(v)) v = 0.25 * (r % 7);
        }
    }
    c.X = c.table.view();
    c.bins = build_bins(c.X, trial % 3 == 0 ? 300 : 8, c.table.categorical());
    awkward_gradients(c.table.rows, c.k, trial + 7, c.grad, c.hess);
    std::mt19937 gen(trial);
    for (int32_t r = 0; r < c.table.rows; ++r)
        c.node_of.push_back(static_cast<int32_t>(gen() % kNodes));
    Part all;
    all.rows.resize(static_cast<size_t>(c.table.rows));
    std::iota(all.rows.begin(), all.rows.end(), 0);
    all.shard = ShardRows{&c.bins, c.X, all.rows.data(), c.table.rows, nullptr};
    c.grids = RoundGrids::of(begin_tree(all.shard, tree_key(kBagStream, 3, 1), 1.0, c.grad.data(),
                                        c.hess.data(), c.k, all.tree),
                             c.k);
    return c;
}

// Every row once: one shard in order, and three shuffled shards of unequal sizes (the
// middle one empty on some trials).
std::vector<std::vector<Part>> splits(const Case& c, uint32_t trial) {
    std::mt19937 gen(trial + 99);
    std::vector<std::vector<Part>> out(2);
    out[0].resize(1);
    out[0][0].rows.resize(static_cast<size_t>(c.table.rows));
    std::iota(out[0][0].rows.begin(), out[0][0].rows.end(), 0);
    out[1].resize(3);
    for (int32_t r = 0; r < c.table.rows; ++r) {
        const uint32_t d = gen() % 10;
        out[1][d < 2 ? 0 : (d < 3 && trial % 3 != 1 ? 1 : 2)].rows.push_back(r);
    }
    for (Part& p : out[1]) std::shuffle(p.rows.begin(), p.rows.end(), gen);
    return out;
}

std::vector<int64_t> merged_stats(const Case& c, std::vector<Part>& parts, const StatsRequest& r) {
    const HistogramShape shape = HistogramShape::of(c.bins);
    std::vector<int64_t> merged = empty_stats(r, shape, c.k), one;
    for (Part& p : parts) {
        start(c, p);
        shard_stats(p.shard, p.tree, r, shape, c.k, one);
        merge_stats(merged, one);
    }
    return merged;
}

}  // namespace

TEST(ExactProjection, ShardsMergeToTheProjectionStatisticsOfAllRowsBitForBit) {
    for (uint32_t trial = 0; trial < 10; ++trial) {
        const Case c = make_case(trial);
        std::mt19937 gen(trial + 5);
        for (const int64_t kind : {kProjectionRanges, kProjectedHistograms}) {
            const StatsRequest r = projection_request(kind, gen, c.k);
            std::vector<std::vector<Part>> parts = splits(c, trial);
            const std::vector<int64_t> whole = merged_stats(c, parts[0], r);
            EXPECT_EQ(merged_stats(c, parts[1], r), whole) << "trial " << trial << " kind " << kind;
            const std::vector<int64_t> naive = naive_projection_words(c, r);
            EXPECT_TRUE(std::equal(naive.begin(), naive.end(), whole.begin() + kStatsHeader))
                << "trial " << trial << " kind " << kind;
            EXPECT_EQ(whole.size(), kStatsHeader + naive.size());
        }
    }
}

TEST(ExactProjection, PairMomentsMergeBitForBitAndConvertToTheirSums) {
    for (uint32_t trial = 0; trial < 10; ++trial) {
        const Case c = make_case(trial);
        const StatsRequest r = moment_request(c.k);
        std::vector<std::vector<Part>> parts = splits(c, trial);
        const std::vector<int64_t> whole = merged_stats(c, parts[0], r);
        EXPECT_EQ(merged_stats(c, parts[1], r), whole) << "trial " << trial;
        // Each converted sum is near the double sum of the pair's rows' terms.
        int64_t at = kStatsHeader;
        for (size_t t = 0; t < r.nodes.size(); ++t) {
            for (int32_t j = r.item_begin[t]; j < r.item_begin[t + 1]; ++j) {
                const ColumnPair& pair = r.pairs[j];
                PairSums want;
                CategorySums want_c;
                for (int32_t row = 0; row < c.table.rows; ++row) {
                    if (c.node_of[row] != r.nodes[t]) continue;
                    const double a = c.X.row(row)[pair.a], b = c.X.row(row)[pair.b];
                    int64_t gq, hq;
                    naive_gradient(c, r, t, row, gq, hq);
                    const double g = c.grids.grad.value(gq), h = c.grids.hess.value(hq);
                    if (!std::isfinite(b) || std::isnan(a)) continue;
                    if (pair.top >= 0) {
                        const int32_t q = category_code(a);
                        if (q < 0 || q > pair.top) continue;
                        want_c.n_q[q] += h;
                        want_c.r_q[q] -= g;
                        want_c.s_q[q] += h * b;
                        want_c.hc += h;
                        want_c.t -= g * b;
                        want_c.sxx += h * b * b;
                    } else if (std::isfinite(a)) {
                        want.add(a, b, h, -g);
                    }
                }
                auto near = [&](double got, double expected, double scale) {
                    EXPECT_NEAR(got, expected, 1e-7 * (1.0 + scale)) << "trial " << trial;
                };
                if (pair.top >= 0) {
                    const CategorySums got =
                        category_sums_of(whole.data() + at, pair, c.bins, c.grids);
                    for (int32_t q = 0; q <= pair.top; ++q) {
                        near(got.n_q[q], want_c.n_q[q], want_c.hc);
                        near(got.r_q[q], want_c.r_q[q], std::fabs(want_c.r_q[q]) + 10);
                        near(got.s_q[q], want_c.s_q[q], want_c.sxx + 10);
                    }
                    near(got.sxx, want_c.sxx, want_c.sxx);
                    near(got.t, want_c.t, want_c.sxx + 10);
                } else {
                    const PairSums got = pair_sums_of(whole.data() + at, pair, c.bins, c.grids);
                    const double big = want.S_aa + want.S_bb + 10;
                    const double got_all[] = {got.H,    got.S_a, got.S_b, got.S_aa, got.S_ab,
                                              got.S_bb, got.T_a, got.T_b, got.T0};
                    const double want_all[] = {want.H,    want.S_a, want.S_b, want.S_aa, want.S_ab,
                                               want.S_bb, want.T_a, want.T_b, want.T0};
                    for (int32_t v = 0; v < 9; ++v) near(got_all[v], want_all[v], big);
                }
                at += pair_item_words(pair);
            }
        }
    }
}

TEST(ExactProjection, WideWordsMergeWithTheirCarry) {
    // Two halves whose low words overflow into the high word.
    StatsRequest r;
    r.kind = kPairMoments;
    r.nodes = {0};
    r.pairs = {{0, 1, -1}};
    r.item_begin = {0, 1};
    HistogramShape shape;
    shape.n_features = 2;
    shape.bin_offset = {0, 2, 4};
    std::vector<int64_t> a = empty_stats(r, shape, 1), b = a;
    const ExactInt x = (ExactInt{1} << 70) - 5, y = -(ExactInt{1} << 64) + 11;
    auto put = [](int64_t* w, ExactInt v) {
        w[0] = static_cast<int64_t>(static_cast<uint64_t>(v));
        w[1] = static_cast<int64_t>(static_cast<uint64_t>(static_cast<ExactUInt>(v) >> 64));
    };
    put(a.data() + kStatsHeader, x);
    put(b.data() + kStatsHeader, y);
    put(a.data() + kStatsHeader + 2, y);
    put(b.data() + kStatsHeader + 2, y);
    merge_stats(a, b);
    EXPECT_TRUE(read_wide(a.data() + kStatsHeader) == x + y);
    EXPECT_TRUE(read_wide(a.data() + kStatsHeader + 2) == y + y);
    std::vector<int64_t> cut(a.begin(), a.end() - 1);
    EXPECT_THROW(merge_stats(cut, cut), std::invalid_argument);
}

TEST(ExactProjection, ThePlacedCutPartsTheRowsAsRoutingDoes) {
    // Rows on the left cells of the best cut are the rows the pair node sends left.
    for (uint32_t trial = 0; trial < 8; ++trial) {
        const Case c = make_case(trial);
        std::mt19937 gen(trial + 17);
        StatsRequest r;
        r.kind = kProjectedHistograms;
        r.nodes = {1};
        r.node_ids = kNodes;
        r.first_output = {0};
        r.second_output = {c.k > 1 ? 1 : 0};
        r.projection_bins = 2 + static_cast<int32_t>(gen() % 30);
        r.item_begin = {0, 1};
        r.projections = {random_projection(gen, trial % 2 == 0 ? kPairForm : kCategoryForm)};
        std::vector<std::vector<Part>> parts = splits(c, trial);
        const std::vector<int64_t> whole = merged_stats(c, parts[0], r);
        NodeTotals node;
        for (int32_t row = 0; row < c.table.rows; ++row) {
            if (c.node_of[row] != 1) continue;
            int64_t g, h;
            naive_gradient(c, r, 0, row, g, h);
            node.count += 1;
            node.g += g;
            node.h += h;
        }
        CutSettings settings{0.5, trial % 3 == 0, &c.bins, c.grids};
        const ObliqueCut cut =
            best_projection_cut(whole.data() + kStatsHeader, r.projection_bins, node, settings);
        if (!(cut.gain > 0.0)) continue;
        const Node test = pair_node(r.projections[0], cut.threshold, cut.missing_right);
        NodeTotals left;
        for (int32_t row = 0; row < c.table.rows; ++row) {
            if (c.node_of[row] != 1 || goes_right(test, c.X.row(row), {})) continue;
            int64_t g, h;
            naive_gradient(c, r, 0, row, g, h);
            left.count += 1;
            left.g += g;
            left.h += h;
        }
        EXPECT_EQ(left.count, cut.left.count) << "trial " << trial;
        EXPECT_EQ(left.g, cut.left.g) << "trial " << trial;
        EXPECT_EQ(left.h, cut.left.h) << "trial " << trial;
    }
}

namespace {

// Round-half-up of p / 2^31 as floor((p + 2^30) / 2^31), with the floor spelled out.
int64_t naive_product_step(ExactInt p) {
    const ExactInt step = ExactInt{1} << 31;
    const ExactInt shifted = p + step / 2;
    const ExactInt q = shifted / step;
    return static_cast<int64_t>(q * step > shifted ? q - 1 : q);
}

// A value on its column's grid, or false when the value is not a finite number.
bool naive_on_grid(const Case& c, int32_t f, double v, int64_t& q) {
    if (!std::isfinite(v)) return false;
    q = static_cast<int64_t>(
        std::nearbyint(v * std::pow(2.0, 31 - column_value_exponent(c.bins, f))));
    return true;
}

// Whether a row counts for a pair: both values on their grids and, for a categorical pair,
// a code in 0 .. top.
bool naive_counts(const Case& c, const ColumnPair& pair, int32_t row, int64_t& qa, int64_t& qb) {
    const double a = c.X.row(row)[pair.a], b = c.X.row(row)[pair.b];
    if (!naive_on_grid(c, pair.a, a, qa) || !naive_on_grid(c, pair.b, b, qb)) return false;
    return pair.top < 0 || (std::trunc(a) >= 0.0 && std::trunc(a) <= pair.top);
}

// The screening words (Z, ZZ, RZ per pair, 128-bit) of a request by the obvious loops:
// pair by pair, over the rows of its node.
std::vector<ExactInt> naive_screen_sums(const Case& c, const StatsRequest& r) {
    std::vector<ExactInt> sums(3 * r.pairs.size(), 0);
    for (size_t t = 0; t < r.nodes.size(); ++t) {
        for (int32_t j = r.item_begin[t]; j < r.item_begin[t + 1]; ++j) {
            ExactInt* sum = sums.data() + 3 * j;
            for (int32_t row = 0; row < c.table.rows; ++row) {
                int64_t qa, qb, g, h;
                if (c.node_of[row] != r.nodes[t] || !naive_counts(c, r.pairs[j], row, qa, qb)) {
                    continue;
                }
                naive_gradient(c, r, t, row, g, h);
                const ExactInt z = naive_product_step(ExactInt{qa} * qb);
                sum[0] += h * z;
                sum[1] += h * z * z;
                sum[2] -= g * z;
            }
        }
    }
    return sums;
}

// The screening score of a pair from its rows in doubles: each column divided by its
// hessian-weighted spread over the pair's rows, then the ridge gain of r on their product.
double naive_screen_score(const Case& c, const StatsRequest& r, size_t t, const ColumnPair& pair,
                          double lambda) {
    std::vector<double> a, b, h, g;
    for (int32_t row = 0; row < c.table.rows; ++row) {
        int64_t qa, qb, gq, hq;
        if (c.node_of[row] != r.nodes[t] || !naive_counts(c, pair, row, qa, qb)) continue;
        naive_gradient(c, r, t, row, gq, hq);
        a.push_back(c.X.row(row)[pair.a]);
        b.push_back(c.X.row(row)[pair.b]);
        h.push_back(c.grids.hess.value(hq));
        g.push_back(c.grids.grad.value(gq));
    }
    auto weighted_mean = [&](const std::vector<double>& v, const std::vector<double>& w) {
        double sw = 0.0, s = 0.0;
        for (size_t i = 0; i < v.size(); ++i) {
            sw += w[i];
            s += w[i] * v[i];
        }
        return sw > 0.0 ? s / sw : 0.0;
    };
    auto spread = [&](const std::vector<double>& v) {
        const double m = weighted_mean(v, h);
        std::vector<double> d2(v.size());
        for (size_t i = 0; i < v.size(); ++i) d2[i] = (v[i] - m) * (v[i] - m);
        return std::max(std::sqrt(weighted_mean(d2, h)), 1e-12);
    };
    const double sa = spread(a), sb = spread(b);
    std::vector<double> z(a.size()), r_minus(a.size());
    for (size_t i = 0; i < a.size(); ++i) z[i] = a[i] * b[i] / (sa * sb);
    const double mean = weighted_mean(z, h);
    double var = lambda, cov = 0.0;
    for (size_t i = 0; i < z.size(); ++i) {
        var += h[i] * (z[i] - mean) * (z[i] - mean);
        cov -= g[i] * (z[i] - mean);
    }
    return var > 0.0 ? cov * cov / var : 0.0;
}

// A value on its column's grid by the obvious lines (false: not on it).
bool reference_grid_value(double x, int32_t exponent, ExactInt& q) {
    if (!std::isfinite(x)) return false;
    const double scaled = std::nearbyint(std::ldexp(x, kValueBits - exponent));
    if (!(std::fabs(scaled) <= 0x1p31)) return false;
    q = static_cast<ExactInt>(scaled);
    return true;
}

// The words of a pair-moment request summed pair by pair and row by row in 128 bits.
std::vector<ExactInt> naive_moment_words(const Case& c, const StatsRequest& r) {
    std::vector<ExactInt> w;
    for (size_t t = 0; t < r.nodes.size(); ++t) {
        for (int32_t j = r.item_begin[t]; j < r.item_begin[t + 1]; ++j) {
            const ColumnPair& pair = r.pairs[j];
            const int32_t ea = column_value_exponent(c.bins, pair.a);
            const int32_t eb = column_value_exponent(c.bins, pair.b);
            std::vector<ExactInt> item(static_cast<size_t>(pair_item_words(pair) / 2), 0);
            for (int32_t row = 0; row < c.table.rows; ++row) {
                if (c.node_of[row] != r.nodes[t]) continue;
                int64_t g, h;
                naive_gradient(c, r, t, row, g, h);
                const ExactInt wh = h, wr = -ExactInt{g};
                const double a = c.X.row(row)[pair.a];
                ExactInt xa = 0, xb = 0;
                if (!reference_grid_value(c.X.row(row)[pair.b], eb, xb)) continue;
                if (pair.top >= 0) {
                    if (std::isnan(a)) continue;
                    const int32_t q = category_code(a);
                    if (q < 0 || q > pair.top) continue;
                    const ExactInt terms[] = {wh, wr, wh * xb};
                    for (int32_t v = 0; v < 3; ++v) item[3 * q + v] += terms[v];
                    const ExactInt tail[] = {wh, wr * xb, wh * xb * xb};
                    for (int32_t v = 0; v < 3; ++v) item[3 * (pair.top + 1) + v] += tail[v];
                    continue;
                }
                if (!reference_grid_value(a, ea, xa)) continue;
                const ExactInt terms[] = {wh,           wr,           wh * xa,
                                          wh * xb,      wh * xa * xa, wh * xa * xb,
                                          wh * xb * xb, wr * xa,      wr * xb};
                for (int32_t v = 0; v < 9; ++v) item[v] += terms[v];
            }
            w.insert(w.end(), item.begin(), item.end());
        }
    }
    return w;
}

}  // namespace

TEST(ExactScreening, ScreeningSumsMergeBitForBitBesideTheMomentsAndMatchTheirDefinition) {
    for (uint32_t trial = 0; trial < 10; ++trial) {
        const Case c = make_case(trial);
        StatsRequest r = moment_request(c.k);
        std::vector<std::vector<Part>> parts = splits(c, trial);
        const std::vector<int64_t> moments = merged_stats(c, parts[0], r);
        r.kind = kScreenedPairMoments;
        const std::vector<int64_t> whole = merged_stats(c, parts[1], r);
        EXPECT_EQ(merged_stats(c, parts[0], r), whole) << "trial " << trial;
        // The moments first, as their own request gives them, then the screening sums.
        ASSERT_EQ(whole.size(), moments.size() + kScreenWords * r.pairs.size());
        EXPECT_TRUE(
            std::equal(moments.begin() + kStatsHeader, moments.end(), whole.begin() + kStatsHeader))
            << "trial " << trial;
        const std::vector<ExactInt> naive = naive_screen_sums(c, r);
        const int64_t* screen = whole.data() + moments.size();
        for (size_t v = 0; v < naive.size(); ++v) {
            EXPECT_TRUE(read_wide(screen + 2 * v) == naive[v]) << "trial " << trial << " sum " << v;
        }
    }
}

TEST(ExactScreening, ScreeningScoresMatchTheDoubleReference) {
    for (uint32_t trial = 0; trial < 10; ++trial) {
        const Case c = make_case(trial);
        StatsRequest r = moment_request(c.k);
        r.kind = kScreenedPairMoments;
        std::vector<std::vector<Part>> parts = splits(c, trial);
        const std::vector<int64_t> whole = merged_stats(c, parts[1], r);
        TreeParams tree;
        tree.reg_lambda = trial % 2 == 0 ? 1.0 : 0.01;
        const ObliqueSettings settings{&tree, &c.bins, c.grids};
        int64_t at = kStatsHeader, screen = static_cast<int64_t>(whole.size()) -
                                            kScreenWords * static_cast<int64_t>(r.pairs.size());
        for (size_t t = 0; t < r.nodes.size(); ++t) {
            for (int32_t j = r.item_begin[t]; j < r.item_begin[t + 1]; ++j) {
                const ColumnPair& pair = r.pairs[j];
                const double got = pair_screen_score(
                    whole.data() + at, whole.data() + screen + kScreenWords * j, pair, settings);
                const double want = naive_screen_score(c, r, t, pair, tree.reg_lambda);
                EXPECT_NEAR(got, want, 1e-6 * (1.0 + want)) << "trial " << trial << " pair " << j;
                at += pair_item_words(pair);
            }
        }
    }
}

TEST(ExactScreening, KeepsTheBestHalvesByPrescoreAndByScreeningInOrder) {
    std::mt19937 gen(4);
    for (int32_t trial = 0; trial < 200; ++trial) {
        const auto n = static_cast<int32_t>(gen() % 40);
        const size_t keep = gen() % 12;
        std::vector<ObliqueCandidate> candidates(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) {
            // Few distinct values, so that ties are common; some NaN screening scores.
            candidates[i].prescore = static_cast<double>(gen() % 6);
            candidates[i].screen = gen() % 9 == 0 ? NAN : static_cast<double>(gen() % 5);
            candidates[i].projection.feature_a = i;  // the candidate's identity
        }
        std::vector<ObliqueCandidate> kept = candidates;
        keep_screened_candidates(kept, keep);
        // By brute force: a candidate's rank under a key is the number that go before it
        // (a higher key, or an equal one earlier; NaN below every number).
        auto rank = [&](int32_t i, bool by_screen) {
            auto key = [&](int32_t x) {
                const double v = by_screen ? candidates[x].screen : candidates[x].prescore;
                return std::isnan(v) ? -INFINITY : v;
            };
            int32_t before = 0;
            for (int32_t x = 0; x < n; ++x) {
                before += key(x) > key(i) || (key(x) == key(i) && x < i);
            }
            return before;
        };
        const auto half = static_cast<int32_t>(std::max<size_t>(1, keep / 2));
        std::vector<int32_t> want;
        for (int32_t i = 0; i < n; ++i) {
            if (keep == 0 || static_cast<size_t>(n) <= keep || rank(i, false) < half ||
                rank(i, true) < half) {
                want.push_back(i);
            }
        }
        std::vector<int32_t> got;
        for (const ObliqueCandidate& c : kept) got.push_back(c.projection.feature_a);
        EXPECT_EQ(got, want) << "trial " << trial;
    }
}

TEST(ExactProjection, PairMomentsAndProjectionStatisticsEqualTheirRowByRowSums) {
    // Trials 30 and 31 give every node more rows than one run of a pass holds.
    for (const uint32_t trial : {0u, 1u, 2u, 3u, 30u, 31u}) {
        const Case c = make_case(trial);
        std::vector<std::vector<Part>> parts = splits(c, trial);
        const StatsRequest moments = moment_request(c.k);
        const std::vector<int64_t> whole = merged_stats(c, parts[0], moments);
        const std::vector<ExactInt> naive = naive_moment_words(c, moments);
        ASSERT_EQ(whole.size(), kStatsHeader + 2 * naive.size());
        for (size_t v = 0; v < naive.size(); ++v) {
            EXPECT_TRUE(read_wide(whole.data() + kStatsHeader + 2 * v) == naive[v])
                << "trial " << trial << " word " << v;
        }
        std::mt19937 gen(trial + 5);
        for (const int64_t kind : {kProjectionRanges, kProjectedHistograms}) {
            const StatsRequest r = projection_request(kind, gen, c.k);
            const std::vector<int64_t> got = merged_stats(c, parts[0], r);
            const std::vector<int64_t> want = naive_projection_words(c, r);
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + kStatsHeader))
                << "trial " << trial << " kind " << kind;
        }
    }
}
