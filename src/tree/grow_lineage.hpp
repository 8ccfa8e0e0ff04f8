#pragma once
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"
#include "common/random.hpp"
#include "model/node.hpp"
#include "tree/tree_params.hpp"

namespace vorlent {

// A node's pairs of candidate directions are taken in batches: at most this many pairs,
// and no more than kLineageCellBytes of histogram cells, so that the builder's working
// memory stays bounded whatever the number of columns and bins.
inline constexpr int64_t kLineageBatchPairs = 4096;
inline constexpr int64_t kLineageCellBytes = int64_t{64} << 20;
inline constexpr double kLineagePairBytes =
    static_cast<double>(kLineageCellBytes + kLineageBatchPairs * 256);

// Grows one tree of projection nodes on the raw matrix: every split is a threshold on the
// projection of a row onto a unit direction, the best ridge combination of two candidates
// among the node's columns and its lineage (the directions of the splits above it, at most
// max_lineage of them). `rows` is the round's bag. Single-output objectives only. Columns
// are sampled with `rng`; every projection split appends its direction to
// out.projections and credits its gain through `out`.
void grow_lineage_tree(Tree& tree, const MatrixView& X, const double* grad, const double* hess,
                       const std::vector<int32_t>& rows, const TreeParams& params, Rng& rng,
                       const TreeOutputs& out);

// The node for `rows` and its subtree; returns the node's index in `tree`.
int32_t grow_lineage_node(Tree& tree, const MatrixView& X, const double* grad, const double* hess,
                          std::vector<int32_t> rows, Directions lineage, int32_t depth,
                          double lower, double upper, const TreeParams& params, Rng& rng,
                          const TreeOutputs& out);

}  // namespace vorlent
