#pragma once
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"
#include "model/node.hpp"

namespace vorlent {

// Per tree, per node: how many rows reached the node (the node's cover). Training records
// the rows of each tree's bag; a background matrix gives the same count for other rows.
using NodeCovers = std::vector<std::vector<double>>;

// True when `covers` holds one count per node of every tree.
bool covers_match(const std::vector<Tree>& trees, const NodeCovers& covers);

// Fills every internal node's cover with the sum of its children's, given the leaves'.
// Children follow their parent in a tree, so one backward pass suffices.
void sum_covers_upward(const Tree& tree, std::vector<double>& cover);

// The cover of every node of `tree` when the rows `rows[0..n)` of X are routed through it
// (all rows of X when rows is null).
std::vector<double> count_node_visits(const Tree& tree, const Directions& projections,
                                      const MatrixView& X, const int32_t* rows, int64_t n);

// count_node_visits over every tree for all rows of X, in parallel over trees.
NodeCovers background_covers(const std::vector<Tree>& trees, const Directions& projections,
                             const MatrixView& X);

}  // namespace vorlent
