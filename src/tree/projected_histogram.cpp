#include "tree/projected_histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "decide/projected_cut.hpp"

namespace vorlent {

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

// Records the cut after cell i of an equal-width histogram from lo.
inline void take_cell(ProjectedCut& out, int32_t i, double gain, double lo, double step) {
    out.found = true;
    out.gain = gain;
    out.threshold = lo + (i + 1) * step;
    out.cell = i;
}

}  // namespace

ProjectedCut scan_projected_cells(const double* grad_cells, const double* hess_cells,
                                  int32_t stride, int32_t bins, double lo, double step,
                                  const NodeGradients& node, double lambda) {
    return scan_projected_cells_both_sides(grad_cells, hess_cells, stride, bins, lo, step, node,
                                           lambda, MissingSums{});
}

ProjectedCut scan_projected_cells_both_sides(const double* grad_cells, const double* hess_cells,
                                             int32_t stride, int32_t bins, double lo, double step,
                                             const NodeGradients& node, double lambda,
                                             const MissingSums& missing) {
    ProjectedCut out;
    // Every cell is scanned, empty ones too: an empty cell's cut ties the one before it.
    const DoubleCells cells{grad_cells, hess_cells, stride, node.G, node.H};
    const DoubleCells::Sums missing_sums{missing.g, missing.h};
    auto take = [&](int32_t i, const DoubleCells::Sums&, double gain, int32_t missing_right) {
        take_cell(out, i, gain, lo, step);
        out.missing_left = missing_right == 0;
        return true;
    };
    scan_projected_cut(cells, [](int32_t i) { return i; }, bins - 1,
                       missing.h > 0.0 ? &missing_sums : nullptr, lambda, out.gain, take);
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
    const double parent = parent_term(node.G, node.H, lambda);
    const bool both = missing != nullptr && missing->h > 0.0;
    for (int side = 0; side < (both ? 2 : 1); ++side) {
        double gl = side == 0 ? 0.0 : missing->g, hl = side == 0 ? 0.0 : missing->h;
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
            double gain = 0.0;
            if (cut_beats(double_sides(gl, hl, node.G, node.H), lambda, parent, out.gain, gain)) {
                take_cell(out, cell, gain, lo, step);
                out.missing_left = side == 1;
            }
        }
    }
    return out;
}

}  // namespace vorlent
