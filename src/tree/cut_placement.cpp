#include "tree/cut_placement.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"
#include "decide/pair_or_axis.hpp"
#include "decide/projected_cut.hpp"
#include "model/routing.hpp"

namespace vorlent {
namespace {

// Per cell: gradient sum, hessian sum, smallest and largest value.
constexpr int32_t kCellWidth = 4;

// The threshold between the largest value of the cells up to `last_left` and the smallest
// of the cells after it, read from the values themselves: the cells' own ranges give the
// same two values.
double threshold_from_values(const double* z, int32_t n, double lo, double step, int32_t bins,
                             int32_t last_left) {
    double below = -kInf, above = kInf;
    for (int32_t k = 0; k < n; ++k) {
        const double v = z[k];
        if (std::isnan(v)) continue;
        if (clamp_bin((v - lo) / step, bins) <= last_left) {
            below = v > below ? v : below;
        } else {
            above = v < above ? v : above;
        }
    }
    return cut_between(below, above);
}

}  // namespace

ProjectedCut placed_projection_cut(double* z, const NodeGradients& node, double lambda,
                                   const ProjectedGrid& grid, std::vector<double>& cells,
                                   std::vector<std::pair<int32_t, int32_t>>& order,
                                   bool learn_missing) {
    double lo = kInf, hi = -kInf;
    bool infinite = false;
    MissingSums missing;
    for (int32_t k = 0; k < node.n; ++k) {
        if (std::isnan(z[k]) && learn_missing) {
            missing.g += node.grad[k];
            missing.h += node.hess[k];
        }
        infinite = infinite || std::isinf(z[k]);
        if (!std::isfinite(z[k])) continue;
        lo = z[k] < lo ? z[k] : lo;
        hi = z[k] > hi ? z[k] : hi;
    }
    // Copies, which the writes to the cells cannot alias.
    const double start = grid.lo, step = grid.step;
    const int32_t count = grid.cells;
    if (!(lo <= hi) || !(step > 0.0) || count < 2) return ProjectedCut{};
    for (int32_t k = 0; k < node.n && infinite; ++k) {
        if (std::isinf(z[k])) z[k] = z[k] < 0.0 ? lo : hi;
    }
    // The cells from the first to the last that hold values: the cuts between them.
    const int32_t first = clamp_bin((lo - start) / step, count);
    const int32_t last = clamp_bin((hi - start) / step, count);
    if (first == last) return ProjectedCut{};
    if (2 * static_cast<int64_t>(node.n) < last - first + 1) {
        // Up to `last` the cells are the grid's; the scan stops before the last one.
        ProjectedCut cut = scan_projected_values(z, node, last + 1, start, step, lambda, order,
                                                 learn_missing ? &missing : nullptr);
        if (cut.found) {
            cut.threshold = threshold_from_values(z, node.n, start, step, last + 1, cut.cell);
        }
        return cut;
    }
    const int32_t used = last - first + 1;
    cells.resize(static_cast<size_t>(used) * kCellWidth);
    for (int32_t i = 0; i < used; ++i) {
        double* c = cells.data() + static_cast<size_t>(i) * kCellWidth;
        c[0] = 0.0;
        c[1] = 0.0;
        c[2] = kInf;
        c[3] = -kInf;
    }
    for (int32_t k = 0; k < node.n; ++k) {
        const double v = z[k];
        if (std::isnan(v)) continue;  // scored on the right side, where it goes
        const auto cell = static_cast<size_t>(clamp_bin((v - start) / step, count) - first);
        double* c = cells.data() + cell * kCellWidth;
        c[0] += node.grad[k];
        c[1] += node.hess[k];
        c[2] = v < c[2] ? v : c[2];
        c[3] = v > c[3] ? v : c[3];
    }
    ProjectedCut cut =
        scan_projected_cells_both_sides(cells.data(), cells.data() + 1, kCellWidth, used,
                                        start + first * step, step, node, lambda, missing);
    if (!cut.found) return cut;
    // Both sides hold values: the first cell and the last one do.
    cut.threshold = projected_threshold(cut.cell, used, [&](int32_t i, double& low, double& high) {
        const double* c = cells.data() + static_cast<size_t>(i) * kCellWidth;
        low = c[2];
        high = c[3];
        return !(c[2] > c[3]);  // a cell without values has them crossed
    });
    cut.cell += first;
    return cut;
}

bool place_pair_cut(SplitChoice& split, const MatrixView& X, const int32_t* rows,
                    const NodeGradients& node, double lambda, std::vector<double>& z,
                    std::vector<double>& cells, std::vector<std::pair<int32_t, int32_t>>& order,
                    bool learn_missing) {
    z.resize(static_cast<size_t>(node.n));
    for (int32_t k = 0; k < node.n; ++k) {
        const double* row = X.row(rows[k]);
        const double a = row[split.feature_a];
        const double b = row[split.feature_b];
        z[k] = a != a || b != b ? NAN
                                : pair_value(split.kind, split.coef_a, split.coef_b,
                                             split.category_values, a, b);
    }
    const ProjectedCut cut =
        placed_projection_cut(z.data(), node, lambda, split.grid, cells, order, learn_missing);
    if (!cut.found || !cut_gains(cut.gain)) return false;
    split.gain = cut.gain;
    split.bias = -cut.threshold;
    split.missing_right = cut.missing_left ? 0 : 1;
    return true;
}

}  // namespace vorlent
