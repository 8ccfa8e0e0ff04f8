#pragma once
#include <cstdint>
#include <vector>

#include "exact/level_builder.hpp"
#include "model/node.hpp"

// The coordinator of the exact_sums lineage builder: grows a tree of projection nodes level
// by level over any number of shards, as the lineage builder does row by row. Every split is
// a threshold on the projection of a row onto a unit direction, the ridge combination of two
// candidates among the node's columns and its lineage (the directions of the splits above
// it, at most max_lineage). Per level the shards are asked three times: for the moments of
// every pair of every node's candidates (with the nodes' totals), from which the pairs'
// directions are fitted; for the range of every direction's projections over its node's
// rows; and for their equal-width histograms, whose best cut decides each node. The rows
// then move by the routing of the projection tests. The deepest level is asked once more, for
// its totals: 3 x depth + 1 requests per tree. (A level whose histograms would pass
// kLineageCellBytes scores, per node, only its share of the directions that fit most of its
// Newton step.)
//
// Every decision is a function of merged integer statistics, and every statistic a sum of
// terms each row forms on its own, so the tree does not depend on how the rows are ordered
// or split into shards and threads. The tree differs from the row-by-row builder's: its sums
// are rounded once to the round's grids, its columns are sampled by the nodes' positions,
// and a node's histogram is that of the projection routing forms.

namespace vorlent {

// Grows one tree over the shards. column_bound[f] bounds the magnitude of every finite value
// of column f over the training rows; committed directions are appended to `projections`,
// where the projection nodes point.
ExactTree grow_exact_lineage_tree(const ExactTreeConfig& config,
                                  const std::vector<double>& column_bound, Directions& projections,
                                  std::vector<ShardSource>& shards, LevelWorkspace& ws);

}  // namespace vorlent
