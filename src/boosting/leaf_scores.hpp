#pragma once
// How a tree's leaf moves the training scores of a row during boosting.
#include <cstdint>

#include "model/model.hpp"
#include "model/node.hpp"

namespace vorlent {

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

}  // namespace vorlent
