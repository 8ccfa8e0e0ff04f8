#include "tree/pair_evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "decide/cut_scan.hpp"
#include "model/node.hpp"
#include "tree/projected_histogram.hpp"

namespace vorlent {

namespace {

SplitChoice pair_choice(int32_t kind, int32_t fa, int32_t fb, double coef_a, double coef_b,
                        const ProjectedCut& cut, const ProjectedGrid& grid) {
    SplitChoice c;
    c.gain = cut.gain;
    c.kind = kind;
    c.feature_a = fa;
    c.feature_b = fb;
    c.coef_a = coef_a;
    c.coef_b = coef_b;
    c.bias = -cut.threshold;
    c.missing_right = 1;
    c.grid = grid;
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
    const double parent = parent_term(node.G, node.H, lambda);
    double gl = 0.0, hl = 0.0;
    for (int32_t i = 0; i + 1 < r.count; ++i) {
        gl += static_cast<double>(cells[i][0]);
        hl += static_cast<double>(cells[i][1]);
        double gain = 0.0;
        if (cut_beats(double_sides(gl, hl, node.G, node.H), lambda, parent, out.gain, gain)) {
            out.found = true;
            out.gain = gain;
            out.threshold = r.lo + (i + 1) * (r.width / r.count);
        }
    }
    return out;
}

SplitChoice linear_choice(const FastPair& p, const FastRange& r, const ProjectedCut& cut) {
    if (!cut.found) return SplitChoice{};
    return pair_choice(kLinearPair, p.a->feature, p.b->feature, p.coef_a, p.coef_b, cut,
                       ProjectedGrid{r.lo, r.width / r.count, r.count});
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
        out[i] = linear_choice(pairs[i], range[i],
                               scan_fast_cells(hist + static_cast<int64_t>(j) * cells, range[i],
                                               node, lambda));
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
    ProjectedGrid* range = grow(s.exact_ranges, static_cast<size_t>(count));
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
        range[i] = ProjectedGrid{lo, (hi - lo) / hist_bins, hist_bins};
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
                             p.b->feature, p.coef_a, p.coef_b, cut, range[i]);
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
