#include "tree/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "model/node.hpp"

namespace vorlent {

namespace {

// Columns handled together by one row-major pass.
constexpr int64_t kColumnGroup = 64;

// The columns of one row-major pass: those that take moments (features mf, values mv) and
// those that only take values (features pf, values pv).
struct ColumnPass {
    const int32_t* mf;
    float* const* mv;
    int64_t n_m;
    const int32_t* pf;
    float* const* pv;
    int64_t n_p;
    int32_t first;  // the smallest and largest feature of the pass
    int32_t last;
};

// Values and moments of the pass's columns, accumulated row by row in one pass over the
// rows: the row's moment values are first copied side by side (straight from the matrix
// when their features are neighbours), so the vector lanes are columns and the vector
// width of the machine never changes a sum.
template <bool kNeighbours>
__attribute__((always_inline)) inline void pass_moments(const MatrixView& X, const int32_t* rows,
                                                        int64_t n, const ColumnPass& c,
                                                        const NodeGradients& node,
                                                        double* __restrict shx,
                                                        double* __restrict shxx,
                                                        double* __restrict srx,
                                                        double* __restrict lo,
                                                        double* __restrict hi) {
    double gathered[kColumnGroup];
    for (int64_t k = 0; k < n; ++k) {
        if (k + kPrefetchDistance < n) {
            prefetch_span(X.row(rows[k + kPrefetchDistance]) + c.first,
                          (c.last - c.first + 1) * sizeof(double));
        }
        const double* row = X.row(rows[k]);
        const double* __restrict x = gathered;
        if constexpr (kNeighbours) {
            x = row + c.mf[0];  // the moment columns are neighbours
        } else {
            for (int64_t j = 0; j < c.n_m; ++j) gathered[j] = row[c.mf[j]];
        }
        const double h = node.hess[k];
        const double r = -node.grad[k];
        for (int64_t j = 0; j < c.n_m; ++j) {
            shx[j] += h * x[j];
            shxx[j] += h * x[j] * x[j];
            srx[j] += r * x[j];
            lo[j] = x[j] < lo[j] ? x[j] : lo[j];
            hi[j] = x[j] > hi[j] ? x[j] : hi[j];
        }
        for (int64_t j = 0; j < c.n_m; ++j) c.mv[j][k] = static_cast<float>(x[j]);
        for (int64_t j = 0; j < c.n_p; ++j) c.pv[j][k] = static_cast<float>(row[c.pf[j]]);
    }
}

VORLENT_HOT_KERNEL
void neighbour_moments(const MatrixView& X, const int32_t* rows, int64_t n, const ColumnPass& c,
                       const NodeGradients& node, double* shx, double* shxx, double* srx,
                       double* lo, double* hi) {
    pass_moments<true>(X, rows, n, c, node, shx, shxx, srx, lo, hi);
}

VORLENT_HOT_KERNEL
void gathered_moments(const MatrixView& X, const int32_t* rows, int64_t n, const ColumnPass& c,
                      const NodeGradients& node, double* shx, double* shxx, double* srx,
                      double* lo, double* hi) {
    pass_moments<false>(X, rows, n, c, node, shx, shxx, srx, lo, hi);
}

}  // namespace

void fill_columns(std::vector<FeatureColumn>& columns, const std::vector<bool>& has_missing,
                  const MatrixView& X, const int32_t* rows, const NodeGradients& node,
                  FeatureMoments* moments) {
    const int64_t c = static_cast<int64_t>(columns.size());
    const int64_t n = node.n;
    // Columns are split into contiguous groups, one per thread. A group walks the rows in
    // order, reading each row once for all its columns, so every column's sums keep row
    // order whatever the thread count.
    const bool parallel = c > 1 && c * n > kParallelMomentCells;
    parallel_blocks(c, parallel, [&](int64_t c0, int64_t c1) {
        for (int64_t g0 = c0; g0 < c1; g0 += kColumnGroup) {
            const int64_t g1 = std::min(c1, g0 + kColumnGroup);
            // Columns that take moments, and the others (missing values, or no moments).
            int32_t mf[kColumnGroup], pf[kColumnGroup];
            float* mv[kColumnGroup];
            float* pv[kColumnGroup];
            int64_t mi[kColumnGroup];
            int64_t n_m = 0, n_p = 0;
            for (int64_t i = g0; i < g1; ++i) {
                FeatureColumn& col = columns[i];
                if (moments != nullptr && !has_missing[col.feature]) {
                    mf[n_m] = col.feature;
                    mv[n_m] = col.values;
                    mi[n_m++] = i;
                } else {
                    if (moments != nullptr) moments[i] = FeatureMoments{};
                    if (col.filled) continue;
                    pf[n_p] = col.feature;
                    pv[n_p++] = col.values;
                }
            }
            double shx[kColumnGroup] = {}, shxx[kColumnGroup] = {}, srx[kColumnGroup] = {};
            double lo[kColumnGroup], hi[kColumnGroup];
            std::fill(lo, lo + n_m, kInf);
            std::fill(hi, hi + n_m, -kInf);
            bool neighbours = n_m > 0;
            for (int64_t j = 1; j < n_m; ++j) neighbours = neighbours && mf[j] == mf[0] + j;
            int32_t first = std::numeric_limits<int32_t>::max(), last = -1;
            for (int64_t j = 0; j < n_m; ++j) {
                first = std::min(first, mf[j]);
                last = std::max(last, mf[j]);
            }
            for (int64_t j = 0; j < n_p; ++j) {
                first = std::min(first, pf[j]);
                last = std::max(last, pf[j]);
            }
            const ColumnPass pass{mf, mv, n_m, pf, pv, n_p, first, last};
            if (neighbours) {
                neighbour_moments(X, rows, n, pass, node, shx, shxx, srx, lo, hi);
            } else if (n_m + n_p > 0) {
                gathered_moments(X, rows, n, pass, node, shx, shxx, srx, lo, hi);
            }
            for (int64_t j = 0; j < n_m; ++j) {
                moments[mi[j]] = FeatureMoments{shx[j], shxx[j], srx[j], lo[j], hi[j]};
            }
            for (int64_t i = g0; i < g1; ++i) columns[i].filled = true;
        }
    });
}

namespace {

// Rows per block of the bin histograms: a block's codes and gradients stay in cache while
// every group of columns takes its turn over them.
constexpr int32_t kHistogramBlock = 1024;
// Columns whose cells one pass over a block updates: their cell pointers stay in
// registers, and a cell updated by one row is updated by the next only after the other
// columns' updates, which hides the latency of adding to the same cell twice.
constexpr int64_t kHistogramLanes = 8;
// How many rows ahead the first pass over a block fetches codes.
constexpr int32_t kHistogramFetch = 32;

using v2d = double __attribute__((vector_size(16)));

template <class Code, int64_t kLanes>
inline void histogram_lanes(const Code* codes, int64_t n_features, const int32_t* rows,
                            const double* grad, const double* hess, int32_t k0, int32_t k1,
                            int32_t fetch_until, const int32_t* feature,
                            double* const* first_cell) {
    v2d* cell[kLanes];
    int32_t f[kLanes];
    for (int64_t i = 0; i < kLanes; ++i) {
        cell[i] = reinterpret_cast<v2d*>(first_cell[i]);
        f[i] = feature[i];
    }
    for (int32_t k = k0; k < k1; ++k) {
        // The first pass over a block meets its rows scattered over the matrix: it fetches
        // the codes of rows further on (up to fetch_until) while it works.
        if (k + kHistogramFetch < fetch_until) {
            prefetch_span(codes + static_cast<int64_t>(rows[k + kHistogramFetch]) * n_features,
                          n_features * sizeof(Code));
        }
        const Code* row = codes + static_cast<int64_t>(rows[k]) * n_features;
        const v2d gh = {grad[k], hess[k]};
        for (int64_t i = 0; i < kLanes; ++i) cell[i][row[f[i]]] += gh;
    }
}

}  // namespace

template <class Code>
void build_bin_histograms(const std::vector<FeatureColumn>& columns, int64_t c0, int64_t c1,
                          const int32_t* offsets, int32_t n_features, const Code* codes,
                          const int32_t* rows, const NodeGradients& node, double* cells) {
    std::fill(cells + 2 * offsets[c0], cells + 2 * offsets[c1], 0.0);
    const int64_t width = c1 - c0;
    if (width <= 0) return;
    // Columns of this group and their first cells, contiguous for the inner loops.
    int32_t* feature = static_cast<int32_t*>(__builtin_alloca(width * sizeof(int32_t)));
    double** first_cell = static_cast<double**>(__builtin_alloca(width * sizeof(double*)));
    for (int64_t i = 0; i < width; ++i) {
        feature[i] = columns[c0 + i].feature;
        first_cell[i] = cells + 2 * offsets[c0 + i];
    }
    // Each cell still adds its rows in row order: blocks in order, rows in order within.
    for (int32_t b0 = 0; b0 < node.n; b0 += kHistogramBlock) {
        const int32_t b1 = std::min(node.n, b0 + kHistogramBlock);
        int64_t i = 0;
        // Only the block's first pass fetches ahead.
        auto fetch_until = [&]() { return i == 0 ? node.n : 0; };
        for (; i + kHistogramLanes <= width; i += kHistogramLanes) {
            histogram_lanes<Code, kHistogramLanes>(codes, n_features, rows, node.grad, node.hess, b0,
                                                   b1, fetch_until(), feature + i, first_cell + i);
        }
        for (; i + 4 <= width; i += 4) {
            histogram_lanes<Code, 4>(codes, n_features, rows, node.grad, node.hess, b0, b1,
                                     fetch_until(), feature + i, first_cell + i);
        }
        for (; i < width; ++i) {
            histogram_lanes<Code, 1>(codes, n_features, rows, node.grad, node.hess, b0, b1,
                                     fetch_until(), feature + i, first_cell + i);
        }
    }
}

template void build_bin_histograms(const std::vector<FeatureColumn>&, int64_t, int64_t,
                                   const int32_t*, int32_t, const uint8_t*, const int32_t*,
                                   const NodeGradients&, double*);
template void build_bin_histograms(const std::vector<FeatureColumn>&, int64_t, int64_t,
                                   const int32_t*, int32_t, const uint16_t*, const int32_t*,
                                   const NodeGradients&, double*);

void best_bin_cut(int32_t feature, const double* cells, const std::vector<double>& bin_low,
                  const std::vector<double>& bin_high, bool feature_has_missing,
                  const NodeGradients& node, double lambda, bool learn_missing, ThreadScratch& s,
                  BinCut& best) {
    const int32_t bins = static_cast<int32_t>(bin_low.size());
    if (bins < 2) return;
    int32_t* listed = grow(s.nonempty_bins, bins);
    int32_t count = 0;
    for (int32_t b = 0; b < bins; ++b) {
        if (cells[2 * b + 1] > 0.0) listed[count++] = b;
    }
    if (count < 2) return;
    const double parent = node.G * node.G / (node.H + lambda);
    const int32_t missing_bin = feature_has_missing ? bins - 1 : -1;
    // Cuts after listed bins 0 .. count - 1 - stop, the left sums starting at (g0, h0).
    auto scan = [&](double g0, double h0, int32_t stop, int32_t missing_right) {
        double gl = g0, hl = h0;
        for (int32_t k = 0; k + stop < count; ++k) {
            gl += cells[2 * listed[k]];
            hl += cells[2 * listed[k] + 1];
            if (!(hl > kTiny) || !(node.H - hl > kTiny)) continue;
            const double gain = cut_gain(gl, hl, node.G, node.H, lambda, parent);
            if (gain > best.gain) {
                const int32_t upper = listed[k + 1];
                best.gain = gain;
                best.feature = feature;
                best.threshold =
                    upper == missing_bin ? kInf : cut_between(bin_high[listed[k]], bin_low[upper]);
                best.missing_right = missing_right;
            }
        }
    };
    scan(0.0, 0.0, 1, 1);
    // The missing bin, when it holds rows, is the last listed one; it goes left now, before
    // the value bins, and at least one value bin stays on the right.
    if (learn_missing && missing_bin >= 0 && listed[count - 1] == missing_bin) {
        scan(cells[2 * missing_bin], cells[2 * missing_bin + 1], 2, 0);
    }
}

namespace {

// Rows whose projection cells are found before they are added, a block at a time.
constexpr int32_t kProjectedBlock = 2048;

// `count` histogram cells of two sums side by side (a vector type of two elements) in
// `storage`, zeroed.
template <class Cell, class T>
Cell* zeroed_cells(std::vector<T>& storage, int64_t count) {
    Cell* cells = reinterpret_cast<Cell*>(grow(storage, 2 * static_cast<size_t>(count)));
    std::fill(cells, cells + count, Cell{});
    return cells;
}

}  // namespace

// Four values at a time, the quotient is taken as (v - lo) * (1 / step): within three
// units in the last place of the divided one, so the two can truncate differently only
// when the product lies within that distance of a whole number (the same whole number
// bounds the clamp at `bins`). Such values, far fewer than one in a billion unless the
// values sit on the cells' edges, are divided instead. Every value of a projection lies
// in [lo, hi], so each quotient lies in [0, bins] up to rounding.
VORLENT_HOT_KERNEL
void projected_cells(const double* __restrict v, int32_t n, double lo, double step, int32_t bins,
                     bool missing_aware, int32_t* __restrict cell) {
    using v4d = double __attribute__((vector_size(32)));
    using v4l = long long __attribute__((vector_size(32)));
    using v4i = int32_t __attribute__((vector_size(16)));
    const double top = static_cast<double>(bins);
    const int32_t aside = missing_aware ? bins : 0;
    auto divided = [&](int32_t k) {
        const double t = (v[k] - lo) / step;
        const double low = t >= 0.0 ? t : 0.0;  // also maps NaN to cell 0
        const auto b = static_cast<int32_t>(low < top ? low : top - 1.0);
        cell[k] = v[k] == v[k] ? b : aside;
    };
    const double inv = 1.0 / step;
    // 2^-50: eight units in the last place, a margin over the three the product may be off.
    constexpr double kMargin = 0x1p-50;
    const v4d lo4 = {lo, lo, lo, lo};
    const v4d inv4 = {inv, inv, inv, inv};
    const v4d top4 = {top, top, top, top};
    const v4d top_cell = top4 - 1.0;
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    const v4i aside4 = {aside, aside, aside, aside};
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) {
        v4d x;
        __builtin_memcpy(&x, v + k, sizeof(x));
        const v4d r = (x - lo4) * inv4;
        // Distance to the nearest whole number, for quotients from one half up; below that
        // both quotients give cell 0 whatever their sign.
        const v4d known = r == r ? r : zero;  // a missing value converts as 0
        const v4d whole = __builtin_convertvector(__builtin_convertvector(known, v4i), v4d);
        const v4d frac = r - whole;
        const v4d tol = r * kMargin;
        const v4l close = (r >= 0.5) & ((frac < tol) | (1.0 - frac < tol));
        if (close[0] | close[1] | close[2] | close[3]) {
            for (int32_t j = 0; j < 4; ++j) divided(k + j);
            continue;
        }
        const v4d low = r >= zero ? r : zero;
        const v4i b = __builtin_convertvector(low < top4 ? low : top_cell, v4i);
        const v4i present = __builtin_convertvector(x == x, v4i);
        const v4i c = present ? b : aside4;
        __builtin_memcpy(cell + k, &c, sizeof(c));
    }
    for (; k < n; ++k) divided(k);
}

ProjectedCut projected_histogram_split(const double* projected, const NodeGradients& node,
                                       double lambda, double lo, double hi, bool missing_aware,
                                       ThreadScratch& s, int32_t bins) {
    if (node.n == 0 || !(hi - lo >= kTiny)) return ProjectedCut{};
    // Gradient and hessian sums of a cell side by side, and one cell more for the values
    // kept aside (missing ones, scored on the right side of every cut).
    using v2d = double __attribute__((vector_size(16)));
    v2d* cells = zeroed_cells<v2d>(s.proj_hist, static_cast<int64_t>(bins) + 1);
    int32_t* cell_of_row = grow(s.proj_cell_of_row, kProjectedBlock);
    const double step = (hi - lo) / bins;
    for (int32_t k0 = 0; k0 < node.n; k0 += kProjectedBlock) {
        const int32_t rows = std::min(kProjectedBlock, node.n - k0);
        projected_cells(projected + k0, rows, lo, step, bins, missing_aware, cell_of_row);
        const double* grad = node.grad + k0;
        const double* hess = node.hess + k0;
        for (int32_t k = 0; k < rows; ++k) cells[cell_of_row[k]] += v2d{grad[k], hess[k]};
    }
    const double* sums = reinterpret_cast<const double*>(cells);
    return scan_projected_cells(sums, sums + 1, 2, bins, lo, step, node, lambda);
}

namespace {

// The cut after cell i, whose left sums are gl and hl, if it beats `out`.
inline void consider_cut(double gl, double hl, int32_t i, double lo, double step,
                         const NodeGradients& node, double lambda, double parent,
                         ProjectedCut& out) {
    if (!(hl > kTiny) || !(node.H - hl > kTiny)) return;
    const double gain = cut_gain(gl, hl, node.G, node.H, lambda, parent);
    if (gain > out.gain) {
        out.found = true;
        out.gain = gain;
        out.threshold = lo + (i + 1) * step;
        out.cell = i;
    }
}

}  // namespace

// The cut scan with the left sums starting at (g0, h0); improves `out`.
void scan_cells_from(const double* grad_cells, const double* hess_cells, int32_t stride,
                     int32_t bins, double lo, double step, const NodeGradients& node, double lambda,
                     double g0, double h0, ProjectedCut& out) {
    const double parent = node.G * node.G / (node.H + lambda);
    double gl = g0, hl = h0;
    for (int32_t i = 0; i + 1 < bins; ++i) {
        gl += grad_cells[static_cast<int64_t>(i) * stride];
        hl += hess_cells[static_cast<int64_t>(i) * stride];
        consider_cut(gl, hl, i, lo, step, node, lambda, parent, out);
    }
}

ProjectedCut scan_projected_cells(const double* grad_cells, const double* hess_cells,
                                  int32_t stride, int32_t bins, double lo, double step,
                                  const NodeGradients& node, double lambda) {
    ProjectedCut out;
    scan_cells_from(grad_cells, hess_cells, stride, bins, lo, step, node, lambda, 0.0, 0.0, out);
    return out;
}

ProjectedCut scan_projected_cells_both_sides(const double* grad_cells, const double* hess_cells,
                                             int32_t stride, int32_t bins, double lo, double step,
                                             const NodeGradients& node, double lambda,
                                             const MissingSums& missing) {
    ProjectedCut out =
        scan_projected_cells(grad_cells, hess_cells, stride, bins, lo, step, node, lambda);
    if (!(missing.h > 0.0)) return out;
    const ProjectedCut right = out;
    scan_cells_from(grad_cells, hess_cells, stride, bins, lo, step, node, lambda, missing.g,
                    missing.h, out);
    out.missing_left = out.gain != right.gain || out.cell != right.cell;
    return out;
}

ProjectedCut scan_projected_values(const double* v, const NodeGradients& node, int32_t bins,
                                   double lo, double step, double lambda,
                                   std::vector<std::pair<int32_t, int32_t>>& order,
                                   const MissingSums* missing) {
    order.clear();
    for (int32_t k = 0; k < node.n; ++k) {
        if (!std::isnan(v[k])) order.emplace_back(clamp_bin((v[k] - lo) / step, bins), k);
    }
    std::sort(order.begin(), order.end());
    ProjectedCut out;
    const double parent = node.G * node.G / (node.H + lambda);
    const bool both = missing != nullptr && missing->h > 0.0;
    for (int side = 0; side < (both ? 2 : 1); ++side) {
        double gl = side == 0 ? 0.0 : missing->g, hl = side == 0 ? 0.0 : missing->h;
        const ProjectedCut before = out;
        for (size_t at = 0; at < order.size();) {
            const int32_t cell = order[at].first;
            double g = 0.0, h = 0.0;
            for (; at < order.size() && order[at].first == cell; ++at) {
                g += node.grad[order[at].second];
                h += node.hess[order[at].second];
            }
            if (cell + 1 >= bins) break;
            gl += g;
            hl += h;
            consider_cut(gl, hl, cell, lo, step, node, lambda, parent, out);
        }
        if (side == 1) out.missing_left = out.gain != before.gain || out.cell != before.cell;
    }
    return out;
}

namespace {

SplitChoice pair_choice(int32_t kind, int32_t fa, int32_t fb, double coef_a, double coef_b,
                        const ProjectedCut& cut) {
    SplitChoice c;
    c.gain = cut.gain;
    c.kind = kind;
    c.feature_a = fa;
    c.feature_b = fb;
    c.coef_a = coef_a;
    c.coef_b = coef_b;
    c.bias = -cut.threshold;
    c.missing_right = 1;
    return c;
}

// The fast path: single-precision bins over a range bounded by the columns' moments.
FastRange fast_range(const FastPair& p, int32_t hist_bins) {
    const FeatureMoments& ma = *p.ma;
    const FeatureMoments& mb = *p.mb;
    FastRange r;
    r.lo = p.coef_a * (p.coef_a >= 0 ? ma.min_x : ma.max_x) +
           p.coef_b * (p.coef_b >= 0 ? mb.min_x : mb.max_x);
    const double hi = p.coef_a * (p.coef_a >= 0 ? ma.max_x : ma.min_x) +
                      p.coef_b * (p.coef_b >= 0 ? mb.max_x : mb.min_x);
    r.width = hi - r.lo;
    r.ok = r.width >= kTiny;
    r.count = 4 * hist_bins;
    return r;
}

using v2f = float __attribute__((vector_size(8)));

// Rows whose cells are found before they are added, a block at a time.
constexpr int32_t kFastBlock = 2048;

// Walks the node's rows in blocks of `block` and the live pairs in groups of up to
// kMaxFastPairs: cells(j, i, k0, rows) finds the block's cells of live pair i into place j
// of the group, then add(together, g0, k0, rows) adds the block's rows to the group's
// histograms.
template <class Cells, class Add>
void for_block_groups(int32_t n, int32_t block, const int32_t* live, int32_t n_live, Cells cells,
                      Add add) {
    for (int32_t k0 = 0; k0 < n; k0 += block) {
        const int32_t rows = std::min(block, n - k0);
        for (int32_t g0 = 0; g0 < n_live; g0 += kMaxFastPairs) {
            const int32_t together = std::min(kMaxFastPairs, n_live - g0);
            for (int32_t j = 0; j < together; ++j) cells(j, live[g0 + j], k0, rows);
            add(together, g0, k0, rows);
        }
    }
}

// The fast-histogram cell of node rows [k0, k0 + n), in single precision.
VORLENT_HOT_KERNEL
void fast_bins(const FastPair& p, const FastRange& r, int32_t k0, int32_t n,
               int32_t* __restrict bin_of_row) {
    const float ca = static_cast<float>(p.coef_a);
    const float cb = static_cast<float>(p.coef_b);
    const float lo32 = static_cast<float>(r.lo);
    const float scale32 = static_cast<float>(r.count / r.width);
    const float top = static_cast<float>(r.count - 1);
    const float* __restrict xa = p.a->values + k0;
    const float* __restrict xb = p.b->values + k0;
    for (int32_t k = 0; k < n; ++k) {
        float v = ((cb * xb[k] + ca * xa[k]) - lo32) * scale32;
        v = v >= 0.0f ? v : 0.0f;  // also maps NaN to bin 0
        v = v <= top ? v : top;
        bin_of_row[k] = static_cast<int32_t>(v);
    }
}

// Gradient and hessian sums of a cell side by side: one load, add and store per row. Up
// to kMaxFastPairs histograms are filled in one pass: each still adds its rows in order,
// and a row whose cell the previous row has just updated holds up only its own histogram.
template <int32_t kCount>
inline void fast_scatter(const int32_t* bins, const v2f* gh, int32_t n, v2f* cells,
                         int32_t cell_stride) {
    for (int32_t k = 0; k < n; ++k) {
        const v2f x = gh[k];
        for (int32_t j = 0; j < kCount; ++j) cells[j * cell_stride + bins[j * kFastBlock + k]] += x;
    }
}

VORLENT_HOT_KERNEL
void fast_scatter_any(int32_t count, const int32_t* bins, const v2f* gh, int32_t n, v2f* cells,
                      int32_t cell_stride) {
    static_assert(kMaxFastPairs == 4);
    switch (count) {
        case 1: fast_scatter<1>(bins, gh, n, cells, cell_stride); break;
        case 2: fast_scatter<2>(bins, gh, n, cells, cell_stride); break;
        case 3: fast_scatter<3>(bins, gh, n, cells, cell_stride); break;
        default: fast_scatter<4>(bins, gh, n, cells, cell_stride); break;
    }
}

ProjectedCut scan_fast_cells(const v2f* cells, const FastRange& r, const NodeGradients& node,
                             double lambda) {
    ProjectedCut out;
    const double parent = node.G * node.G / (node.H + lambda);
    double gl = 0.0, hl = 0.0;
    for (int32_t i = 0; i + 1 < r.count; ++i) {
        gl += static_cast<double>(cells[i][0]);
        hl += static_cast<double>(cells[i][1]);
        if (!(hl > kTiny) || !(node.H - hl > kTiny)) continue;
        const double gain = cut_gain(gl, hl, node.G, node.H, lambda, parent);
        if (gain > out.gain) {
            out.found = true;
            out.gain = gain;
            out.threshold = r.lo + (i + 1) * (r.width / r.count);
        }
    }
    return out;
}

SplitChoice linear_choice(const FastPair& p, const ProjectedCut& cut) {
    if (!cut.found) return SplitChoice{};
    return pair_choice(kLinearPair, p.a->feature, p.b->feature, p.coef_a, p.coef_b, cut);
}

}  // namespace

void evaluate_fast_pairs(const FastPair* pairs, int32_t count, const NodeGradients& node,
                         const float* gh_f32, double lambda, int32_t hist_bins, ThreadScratch& s,
                         SplitChoice* out) {
    const int32_t n = node.n;
    const v2f* gh = reinterpret_cast<const v2f*>(gh_f32);
    // The pairs whose range is not empty, and their ranges.
    FastRange* range = grow(s.fast_ranges, static_cast<size_t>(count));
    int32_t* live = grow(s.fast_live, static_cast<size_t>(count));
    int32_t n_live = 0;
    for (int32_t i = 0; i < count; ++i) {
        out[i] = SplitChoice{};
        range[i] = fast_range(pairs[i], hist_bins);
        if (range[i].ok) live[n_live++] = i;
    }
    if (n_live == 0) return;
    const int32_t cells = 4 * hist_bins;
    v2f* hist = zeroed_cells<v2f>(s.fast_hist, static_cast<int64_t>(cells) * n_live);
    int32_t* bins = grow(s.fast_bin_of_row, static_cast<size_t>(kFastBlock) * kMaxFastPairs);
    // Block by block, every pair takes the block's rows, so the columns' values are read
    // from memory once per block however many pairs share them.
    for_block_groups(
        n, kFastBlock, live, n_live,
        [&](int32_t j, int32_t i, int32_t k0, int32_t rows) {
            fast_bins(pairs[i], range[i], k0, rows, bins + j * kFastBlock);
        },
        [&](int32_t together, int32_t g0, int32_t k0, int32_t rows) {
            fast_scatter_any(together, bins, gh + k0, rows, hist + static_cast<int64_t>(g0) * cells,
                             cells);
        });
    for (int32_t j = 0; j < n_live; ++j) {
        const int32_t i = live[j];
        out[i] = linear_choice(pairs[i], scan_fast_cells(hist + static_cast<int64_t>(j) * cells,
                                                         range[i], node, lambda));
    }
}

namespace {

// The linear projection of rows [0, n) in double precision, NaN where an input is missing,
// and the range of the others; four rows at a time. Each lane keeps its own smallest and
// largest value, which are then combined: the same range as one running minimum and
// maximum, as no projection value is NaN among them.
VORLENT_HOT_KERNEL
void linear_projection(const float* __restrict xa, const float* __restrict xb, double coef_a,
                       double coef_b, int32_t n, double* __restrict z, double& lo, double& hi) {
    using v4d = double __attribute__((vector_size(32)));
    using v4l = long long __attribute__((vector_size(32)));
    const v4d ca = {coef_a, coef_a, coef_a, coef_a};
    const v4d cb = {coef_b, coef_b, coef_b, coef_b};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const v4d missing = {nan, nan, nan, nan};
    v4d lo4 = {kInf, kInf, kInf, kInf};
    v4d hi4 = {-kInf, -kInf, -kInf, -kInf};
    int32_t k = 0;
    for (; k + 4 <= n; k += 4) {
        const v4d a = {xa[k], xa[k + 1], xa[k + 2], xa[k + 3]};
        const v4d b = {xb[k], xb[k + 1], xb[k + 2], xb[k + 3]};
        const v4l ok = (a == a) & (b == b);
        const v4d v = ok ? ca * a + cb * b : missing;
        __builtin_memcpy(z + k, &v, sizeof(v));
        lo4 = v < lo4 ? v : lo4;
        hi4 = v > hi4 ? v : hi4;
    }
    double l = kInf, h = -kInf;
    for (int32_t j = 0; j < 4; ++j) {
        l = lo4[j] < l ? lo4[j] : l;
        h = hi4[j] > h ? hi4[j] : h;
    }
    for (; k < n; ++k) {
        const double a = xa[k], b = xb[k];
        const double v = a == a && b == b ? coef_a * a + coef_b * b : nan;
        z[k] = v;
        l = v < l ? v : l;
        h = v > h ? v : h;
    }
    lo = l;
    hi = h;
}

// offset[code] + slope * x of rows [0, n), NaN where an input is missing, and the range of
// the others.
void category_projection(const float* xc, const float* xn, const double* offsets,
                         int32_t n_offsets, double slope, int32_t n, double* z, double& lo,
                         double& hi) {
    double l = kInf, h = -kInf;
    for (int32_t k = 0; k < n; ++k) {
        if (std::isnan(xc[k]) || std::isnan(xn[k])) {
            z[k] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const int32_t code = category_code(xc[k]);
        const double offset = (code >= 0 && code < n_offsets) ? offsets[code] : 0.0;
        const double v = slope * static_cast<double>(xn[k]) + offset;
        z[k] = v;
        l = v < l ? v : l;
        h = v > h ? v : h;
    }
    lo = l;
    hi = h;
}

void exact_projection(const ExactPair& p, int32_t k0, int32_t n, double* z, double& lo,
                      double& hi) {
    if (p.offsets == nullptr) {
        linear_projection(p.a->values + k0, p.b->values + k0, p.coef_a, p.coef_b, n, z, lo, hi);
    } else {
        category_projection(p.a->values + k0, p.b->values + k0, p.offsets, p.n_offsets, p.coef_b,
                            n, z, lo, hi);
    }
}

using v2d = double __attribute__((vector_size(16)));

// The exact histograms' counterpart of fast_scatter: up to kMaxFastPairs histograms of
// `cell_stride` cells filled in one pass, each adding its rows in order.
template <int32_t kCount>
inline void exact_scatter(const int32_t* cells_of, const double* grad, const double* hess,
                          int32_t n, v2d* cells, int32_t cell_stride) {
    for (int32_t k = 0; k < n; ++k) {
        const v2d x = {grad[k], hess[k]};
        for (int32_t j = 0; j < kCount; ++j) {
            cells[j * cell_stride + cells_of[j * kProjectedBlock + k]] += x;
        }
    }
}

VORLENT_HOT_KERNEL
void exact_scatter_any(int32_t count, const int32_t* cells_of, const double* grad,
                       const double* hess, int32_t n, v2d* cells, int32_t cell_stride) {
    static_assert(kMaxFastPairs == 4);
    switch (count) {
        case 1: exact_scatter<1>(cells_of, grad, hess, n, cells, cell_stride); break;
        case 2: exact_scatter<2>(cells_of, grad, hess, n, cells, cell_stride); break;
        case 3: exact_scatter<3>(cells_of, grad, hess, n, cells, cell_stride); break;
        default: exact_scatter<4>(cells_of, grad, hess, n, cells, cell_stride); break;
    }
}

}  // namespace

void evaluate_exact_pairs(const ExactPair* pairs, int32_t count, const NodeGradients& node,
                          double lambda, int32_t hist_bins, ThreadScratch& s, SplitChoice* out) {
    const int32_t n = node.n;
    double* z = grow(s.projected, kProjectedBlock);
    // The range of every pair's projection, block by block.
    ExactRange* range = grow(s.exact_ranges, static_cast<size_t>(count));
    int32_t* live = grow(s.fast_live, static_cast<size_t>(count));
    int32_t n_live = 0;
    for (int32_t i = 0; i < count; ++i) {
        out[i] = SplitChoice{};
        double lo = kInf, hi = -kInf;
        for (int32_t k0 = 0; k0 < n; k0 += kProjectedBlock) {
            double l, h;
            exact_projection(pairs[i], k0, std::min(kProjectedBlock, n - k0), z, l, h);
            lo = l < lo ? l : lo;
            hi = h > hi ? h : hi;
        }
        range[i] = ExactRange{lo, (hi - lo) / hist_bins};
        if (n > 0 && hi - lo >= kTiny) live[n_live++] = i;
    }
    if (n_live == 0) return;
    // Every cut scores missing values on the right side; they gather in one extra cell.
    const int32_t stride = hist_bins + 1;
    v2d* hist = zeroed_cells<v2d>(s.proj_hist, static_cast<int64_t>(stride) * n_live);
    int32_t* cells_of = grow(s.proj_cell_of_row, static_cast<size_t>(kProjectedBlock) * kMaxFastPairs);
    for_block_groups(
        n, kProjectedBlock, live, n_live,
        [&](int32_t j, int32_t i, int32_t k0, int32_t rows) {
            double l, h;
            exact_projection(pairs[i], k0, rows, z, l, h);
            projected_cells(z, rows, range[i].lo, range[i].step, hist_bins, true,
                            cells_of + j * kProjectedBlock);
        },
        [&](int32_t together, int32_t g0, int32_t k0, int32_t rows) {
            exact_scatter_any(together, cells_of, node.grad + k0, node.hess + k0, rows,
                              hist + static_cast<int64_t>(g0) * stride, stride);
        });
    for (int32_t j = 0; j < n_live; ++j) {
        const int32_t i = live[j];
        const double* sums = reinterpret_cast<const double*>(hist + static_cast<int64_t>(j) * stride);
        const ProjectedCut cut = scan_projected_cells(sums, sums + 1, 2, hist_bins, range[i].lo,
                                                      range[i].step, node, lambda);
        if (!cut.found) continue;
        const ExactPair& p = pairs[i];
        out[i] = pair_choice(p.offsets == nullptr ? kLinearPair : kCategoryPair, p.a->feature,
                             p.b->feature, p.coef_a, p.coef_b, cut);
    }
}

SplitChoice evaluate_linear_pair(const FeatureColumn& a, const FeatureColumn& b, double coef_a,
                                 double coef_b, const NodeGradients& node, const float* gh_f32,
                                 double lambda, int32_t hist_bins, ThreadScratch& s,
                                 bool missing_aware, const FeatureMoments& ma,
                                 const FeatureMoments& mb) {
    SplitChoice out;
    if (!missing_aware) {
        const FastPair p{&a, &b, coef_a, coef_b, &ma, &mb};
        evaluate_fast_pairs(&p, 1, node, gh_f32, lambda, hist_bins, s, &out);
    } else {
        const ExactPair p{&a, &b, coef_a, coef_b};
        evaluate_exact_pairs(&p, 1, node, lambda, hist_bins, s, &out);
    }
    return out;
}

SplitChoice evaluate_category_pair(const FeatureColumn& category, const FeatureColumn& numeric,
                                   const double* offsets, int32_t n_offsets, double slope,
                                   const NodeGradients& node, double lambda, int32_t hist_bins,
                                   ThreadScratch& s) {
    const ExactPair p{&category, &numeric, 1.0, slope, nullptr, nullptr, offsets, n_offsets};
    SplitChoice out;
    evaluate_exact_pairs(&p, 1, node, lambda, hist_bins, s, &out);
    return out;
}

}  // namespace vorlent
