#pragma once
// How a tree's leaf moves the training scores of a row during boosting.
#include <cstdint>

#include "common/parallel.hpp"
#include "common/row_view.hpp"
#include "model/model.hpp"
#include "model/node.hpp"
#include "model/routing.hpp"

namespace vorlent {

// Rows above which the scores are updated in parallel.
inline constexpr int64_t kParallelScoreRows = 2000;

// Adds learning_rate times a leaf's value (or values) to the scores of one row (k of them
// for the multiclass objective). A multiclass leaf without k values adds nothing.
inline void add_leaf(Objective objective, double learning_rate, int64_t k, const Node& leaf,
                     double* row_scores) {
    if (objective != kMulticlass) {
        row_scores[0] += learning_rate * leaf.value;
        return;
    }
    if (static_cast<int64_t>(leaf.leaf_values.size()) != k) return;
    for (int64_t j = 0; j < k; ++j) row_scores[j] += learning_rate * leaf.leaf_values[j];
}

// The same for a leaf of `m`.
inline void add_leaf(const Model& m, const Node& leaf, double* row_scores) {
    add_leaf(m.objective, m.learning_rate, m.n_outputs, leaf, row_scores);
}

// Adds a finished tree to the scores of X's rows (k per row) in every training path: a row
// that `routed` gives a node (the leaf that growing the tree sent it to; -1 for none, null
// for no row) takes that leaf, every other row walks the tree, whose projection nodes point
// into `directions`. Each row changes once, so the threads do not change the result.
inline void add_tree_scores(Objective objective, double learning_rate, int64_t k,
                            const Tree& tree, const Directions& directions, const RowView& X,
                            const int32_t* routed, double* scores) {
    parallel_blocks(X.n_rows, X.n_rows > kParallelScoreRows, [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r) {
            const int32_t node = routed != nullptr && routed[r] >= 0
                                     ? routed[r]
                                     : find_leaf(tree, X.row(r), directions);
            add_leaf(objective, learning_rate, k, tree[node], scores + r * k);
        }
    });
}

// The same for a tree of `m`.
inline void add_tree_scores(const Model& m, const Tree& tree, const RowView& X,
                            const int32_t* routed, double* scores) {
    add_tree_scores(m.objective, m.learning_rate, m.n_outputs, tree, m.projections, X, routed,
                    scores);
}

}  // namespace vorlent
