#pragma once
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"
#include "tree/histogram.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// The best cut of the projected values z of a node's rows (NaN for a row that goes right
// whatever the cut), scored on an equal-width histogram of `bins` cells over the range of
// the finite values, and placed between the largest value of the cells on its left and the
// smallest value of the cells on its right. The cells are monotone in z, so the test
// "z < threshold" parts the rows exactly as the winning cut was scored. `cells` is working
// storage that only grows.
ProjectedCut placed_projection_cut(const double* z, const NodeGradients& node, double lambda,
                                   int32_t bins, std::vector<double>& cells);

// Re-scores a pair test (kind 2 or 3) that the search picked, on the double-precision
// values routing reads (the search works on single-precision copies), and places its cut
// so that routing parts the node rows exactly as scored: sets bias and gain. Returns false
// when no cut of the re-scored projection gains. `z` and `cells` are working storage.
bool place_pair_cut(SplitChoice& split, const MatrixView& X, const int32_t* rows,
                    const NodeGradients& node, double lambda, int32_t bins,
                    std::vector<double>& z, std::vector<double>& cells);

}  // namespace vorlent
