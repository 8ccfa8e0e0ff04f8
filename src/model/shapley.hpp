#pragma once
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"
#include "common/stop_poll.hpp"
#include "model/model.hpp"
#include "model/node_cover.hpp"
#include "model/shapley_plan.hpp"

namespace vorlent {

// Exact Shapley values of every row's unclipped raw score under the path-dependent
// (tree-structure) conditional expectation: a split whose features are all in the
// coalition sends the row its own way, any other split sends it both ways, weighted by
// `covers` (one count per node of every tree, see NodeCovers). A pair split is thus
// decided only when both its features are known, a projection split only when all of its
// non-zero columns are.
//
// `out` receives, per row and output (n_rows x n_outputs, row-major), X.n_cols values, one
// per column, followed by the expected value (the same for every row); each such block
// sums to the row's raw score up to rounding. X must hold every column that the trees
// read. Throws std::invalid_argument when a path is beyond the supported size
// (kMaxLinkedGroups) or its tables would not fit in memory. n_trees: only the first
// n_trees trees (and their covers) count, the expected value included. `stop` is polled
// between blocks of rows and trees (see StopPoll); when it throws, the exception
// propagates and `out` is left unfinished.
void shap_values(const Model& model, const NodeCovers& covers, const MatrixView& X, double* out,
                 int32_t n_trees = kAllTrees, const StopCheck& stop = {});

// The raw score of a row that knows none of its features, per output: the start score
// plus every leaf's value times the share of covered rows that reach it.
std::vector<double> expected_values(const Model& model, const ShapleyPlan& plan);

}  // namespace vorlent
