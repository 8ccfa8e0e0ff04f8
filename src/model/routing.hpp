#pragma once
#include <cstdint>
#include <vector>

#include "common/numeric.hpp"
#include "model/node.hpp"

namespace vorlent {

// The projection that a pair test (kind 2 or 3) of present values a and b compares with
// -bias: coef_b * b plus coef_a * a, or plus the offset of a's category (0 for a code
// without one).
inline double pair_value(int32_t kind, double coef_a, double coef_b,
                         const std::vector<double>& category_values, double a, double b) {
    if (kind == kCategoryPair) {
        const int32_t c = category_code(a);
        const double t = (c >= 0 && static_cast<size_t>(c) < category_values.size())
                             ? category_values[c]
                             : 0.0;
        return coef_b * b + t;
    }
    return coef_b * b + coef_a * a;
}

// The one routing rule used by prediction, explanation, training score updates and
// the histogram builder's partition. A row goes right unless its left test holds;
// a needed value that is NaN follows missing_right.
inline bool goes_right(const Node& node, const double* row, const Directions& projections) {
    if (node.projection >= 0) {
        const std::vector<double>& d = projections[node.projection];
        double s = node.bias;
        for (size_t j = 0; j < d.size(); ++j) {
            if (d[j] == 0.0) continue;
            const double x = row[j];
            if (x != x) return node.missing_right != 0;
            s += x * d[j];
        }
        return !(s < 0.0);
    }
    if (node.kind == kAxis) {
        const double v = row[node.feature_a];
        if (v != v) return node.missing_right != 0;
        return !(node.threshold > v);
    }
    const double a = row[node.feature_a];
    const double b = row[node.feature_b];
    if (a != a || b != b) return node.missing_right != 0;
    return !(pair_value(node.kind, node.coef_a, node.coef_b, node.category_values, a, b) +
                 node.bias <
             0.0);
}

// The child a row moves to, picked by arithmetic rather than a branch on the data.
inline int32_t next_node(const Node& node, const double* row, const Directions& projections) {
    const int32_t right = goes_right(node, row, projections) ? 1 : 0;
    return node.left + right * (node.right - node.left);
}

inline int32_t find_leaf(const Tree& tree, const double* row, const Directions& projections) {
    int32_t i = 0;
    while (!tree[i].is_leaf) {
        const Node& node = tree[i];
        i = next_node(node, row, projections);
    }
    return i;
}

// One plus the largest column that routing through the trees can read; 0 for none.
int32_t required_columns(const std::vector<Tree>& trees, const Directions& projections);

// The number of internal nodes on the longest root-to-leaf path (0 for a single leaf).
int32_t tree_depth(const Tree& tree);

}  // namespace vorlent
