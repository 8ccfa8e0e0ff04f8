#pragma once

#include "common/matrix.hpp"
#include "common/stop_poll.hpp"
#include "model/model.hpp"

namespace vorlent {

// Shares each tree's contribution to a row's raw score (learning_rate times the reached
// leaf's value) among the columns tested on the row's path, in proportion to the split
// gains, weighted by the coefficient sizes of pair splits. Tests that meet a missing
// value and projection tests earn nothing; a path that earns nothing adds nothing.
// `out` receives X.n_rows x X.n_cols values, row-major, and is overwritten. X must hold
// every column the trees read (model.required_width); the credit lists are sized from
// model.deepest_path, so both facts must be current. n_trees: only the first n_trees
// trees contribute. `stop` is polled between blocks of rows (see StopPoll); when it throws,
// the exception propagates and `out` is left unfinished.
void explain(const Model& model, const MatrixView& X, double* out, int32_t n_trees = kAllTrees,
             const StopCheck& stop = {});

}  // namespace vorlent
