#pragma once
// How a tree's leaf moves the training scores of a row during boosting.
#include <cstdint>

#include "model/model.hpp"
#include "model/node.hpp"

namespace vorlent {

// Adds learning_rate times a leaf's value (or values) to the scores of one row. A
// multiclass leaf without one value per output adds nothing.
inline void add_leaf(const Model& m, const Node& leaf, double* row_scores) {
    if (m.objective != kMulticlass) {
        row_scores[0] += m.learning_rate * leaf.value;
        return;
    }
    const int64_t k = m.n_outputs;
    if (static_cast<int64_t>(leaf.leaf_values.size()) != k) return;
    for (int64_t j = 0; j < k; ++j) row_scores[j] += m.learning_rate * leaf.leaf_values[j];
}

}  // namespace vorlent
