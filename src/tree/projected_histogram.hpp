#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// Equal-width histogram of projected values over [lo, hi] and its cut scan. With
// `missing_aware`, NaN values are kept aside and scored on the right side of every cut,
// where the split sends them.
struct ProjectedCut {
    bool found = false;
    double threshold = 0.0;
    double gain = 0.0;
    int32_t cell = -1;  // the last cell on the left side
    bool missing_left = false;  // the rows without a value go left
};
ProjectedCut projected_histogram_split(const double* projected, const NodeGradients& node,
                                       double lambda, double lo, double hi, bool missing_aware,
                                       ThreadScratch& s, int32_t bins);

// The cell of each of n projected values in [lo, hi] (or NaN): clamp_bin((v - lo) / step,
// bins), exactly; with `missing_aware`, a NaN goes to the extra cell `bins`.
void projected_cells(const double* v, int32_t n, double lo, double step, int32_t bins,
                     bool missing_aware, int32_t* cell);

// The cut scan of an equal-width histogram whose cell i starts at lo + i * step; cell i's
// sums are at grad_cells[i * stride] and hess_cells[i * stride]. Missing values, kept
// out of the cells, count on the right side.
ProjectedCut scan_projected_cells(const double* grad_cells, const double* hess_cells,
                                  int32_t stride, int32_t bins, double lo, double step,
                                  const NodeGradients& node, double lambda);

// The rows without a value on the left side: the sums of their gradients and hessians.
struct MissingSums {
    double g = 0.0;
    double h = 0.0;
};

// scan_projected_cells, then, when `missing` holds rows, the same cuts with those rows on
// the left; a cut with them on the left wins only with a strictly larger gain.
ProjectedCut scan_projected_cells_both_sides(const double* grad_cells, const double* hess_cells,
                                             int32_t stride, int32_t bins, double lo, double step,
                                             const NodeGradients& node, double lambda,
                                             const MissingSums& missing);

// scan_projected_cells of the equal-width histogram of the node's n values v (NaN kept
// out) without forming it: the rows are ordered by cell instead, which costs n log n rather
// than `bins` when the histogram has far more cells than rows. Gives exactly the same cut:
// the cells' sums form in row order and the left sums in cell order as there, and an empty
// cell adds nothing and cannot raise the gain. `order` is scratch.
ProjectedCut scan_projected_values(const double* v, const NodeGradients& node, int32_t bins,
                                   double lo, double step, double lambda,
                                   std::vector<std::pair<int32_t, int32_t>>& order,
                                   const MissingSums* missing = nullptr);

// The bin of a scaled value: truncation toward zero, clamped to [0, count - 1]; NaN gives 0.
inline int32_t clamp_bin(double v, int32_t count) {
    if (!(v >= 0.0)) return 0;
    if (v >= static_cast<double>(count)) return count - 1;
    return static_cast<int32_t>(v);
}

// Rows whose projection cells are found before they are added, a block at a time.
inline constexpr int32_t kProjectedBlock = 2048;

// `count` histogram cells of two sums side by side (a vector type of two elements) in
// `storage`, zeroed.
template <class Cell, class T>
Cell* zeroed_cells(std::vector<T>& storage, int64_t count) {
    Cell* cells = reinterpret_cast<Cell*>(grow(storage, 2 * static_cast<size_t>(count)));
    std::fill(cells, cells + count, Cell{});
    return cells;
}

}  // namespace vorlent
