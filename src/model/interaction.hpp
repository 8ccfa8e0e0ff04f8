#pragma once
#include <cstdint>

#include "common/matrix.hpp"
#include "common/stop_poll.hpp"
#include "model/model.hpp"
#include "model/node_cover.hpp"

namespace vorlent {

// Pairwise Shapley interaction values of every row's unclipped raw score under the same
// path-dependent expectation as shap_values, for models whose splits each read one column.
//
// `out` receives, per row and output (n_rows x n_outputs, row-major), a square block of
// (X.n_cols + 1)^2 values, row-major: entry (i, j), i != j, is half the Shapley interaction
// index of columns i and j (the same in (j, i)); the diagonal (i, i) is the Shapley value of
// i less the rest of its row, so row i sums to the Shapley value of column i; the last row
// and column are zero but for the corner, which holds the expected value. Each block thus
// sums to the row's raw score up to rounding. X must hold every column the trees read.
// Throws std::invalid_argument when a split of the first n_trees trees reads more than one
// column (pair and projection splits). `stop` is polled between rows (see StopPoll); when
// it throws, the exception propagates and `out` is left unfinished.
void interaction_values(const Model& model, const NodeCovers& covers, const MatrixView& X,
                        double* out, int32_t n_trees = kAllTrees, const StopCheck& stop = {});

}  // namespace vorlent
