#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "common/matrix.hpp"
#include "tree/node_gradients.hpp"
#include "tree/projected_histogram.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// The best cut of the projected values z of a node's rows (NaN for a row that goes right
// whatever the cut) among the cuts of `grid`, the cells the cut was searched on, placed
// between the largest value of the cells on its left and the smallest value of the cells
// on its right. The cells are monotone in z, so the test "z < threshold" parts the rows
// exactly as the winning cut was scored; and as every cut the search scored between values
// is among those scanned, the placed cut gains at least as much on z as the searched one.
// Only cuts with a finite value on each side count: an infinite value is moved in z onto
// the nearest finite one, on the same side of every such cut. A grid with far more cells
// than rows is scanned and placed from the rows ordered by cell instead (the same cut and
// threshold), so that the work does not grow with the cells. `cells` and `order` are
// working storage that only grows. With `learn_missing` every cut is also scored with the
// NaN rows on the left (cut.missing_left), which wins only with a strictly larger gain.
ProjectedCut placed_projection_cut(double* z, const NodeGradients& node, double lambda,
                                   const ProjectedGrid& grid, std::vector<double>& cells,
                                   std::vector<std::pair<int32_t, int32_t>>& order,
                                   bool learn_missing = false);

// Re-scores a pair test (kind 2 or 3) that the search picked, on the double-precision
// values routing reads (the search works on single-precision copies) and on the cells it
// was searched on (split.grid), and places its cut so that routing parts the node rows
// exactly as scored: sets bias, gain and the missing side (right unless `learn_missing`
// finds the left side better). Returns false when no cut of the re-scored projection
// gains. `z`, `cells` and `order` are working storage.
bool place_pair_cut(SplitChoice& split, const MatrixView& X, const int32_t* rows,
                    const NodeGradients& node, double lambda, std::vector<double>& z,
                    std::vector<double>& cells, std::vector<std::pair<int32_t, int32_t>>& order,
                    bool learn_missing = false);

}  // namespace vorlent
