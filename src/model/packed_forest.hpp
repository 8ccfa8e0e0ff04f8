#pragma once
#include <cstdint>
#include <vector>

#include "model/node.hpp"
#include "model/routing.hpp"

namespace vorlent {

// A compact copy of one tree for prediction: only the internal nodes, in a record a third
// the size of a Node, and the leaves as a separate list. A child below zero is a leaf:
// ~child indexes `leaf_value` and `leaf_node`.
struct PackedNode {
    double t;         // axis: the threshold; pairs: the bias
    double coef_a;    // linear pairs
    double coef_b;    // linear pairs
    int32_t feature_a;
    int32_t feature_b;
    int32_t child[2];       // left, right
    int32_t kind;           // kAxis, kLinearPair, or kOther: route by the original node
    int32_t missing_right;  // 1: a needed value that is NaN goes right
    int32_t node;           // index of the original node in its tree
};
static_assert(sizeof(PackedNode) == 56, "a packed node must stay small");

inline constexpr int32_t kOtherTest = -1;

struct PackedTree {
    std::vector<PackedNode> nodes;
    std::vector<double> leaf_value;  // the leaves' values, without the learning rate
    std::vector<int32_t> leaf_node;  // index of each leaf in the original tree
    int32_t root = ~0;               // ~0 when the tree is a single leaf
};

PackedTree pack_tree(const Tree& tree);

// The same rule as goes_right, on the packed record, as 0 (left) or 1 (right) and without
// branches on the data: a NaN fails every "goes left" test, so it goes right by itself
// unless the node sends missing values left.
inline int32_t packed_goes_right(const PackedNode& p, const double* row, const Tree& tree,
                                 const Directions& projections) {
    if (p.kind == kAxis) {
        const double v = row[p.feature_a];
        return static_cast<int32_t>(!(p.t > v)) & (p.missing_right | (v == v));
    }
    if (p.kind == kLinearPair) {
        const double a = row[p.feature_a];
        const double b = row[p.feature_b];
        const double s = (p.coef_b * b + p.coef_a * a) + p.t;
        return static_cast<int32_t>(!(s < 0.0)) & (p.missing_right | ((a == a) & (b == b)));
    }
    return goes_right(tree[p.node], row, projections) ? 1 : 0;
}

// The leaf slot a row reaches.
inline int32_t packed_find_leaf(const PackedTree& packed, const Tree& tree, const double* row,
                                const Directions& projections) {
    int32_t i = packed.root;
    while (i >= 0) {
        const PackedNode& p = packed.nodes[i];
        i = p.child[packed_goes_right(p, row, tree, projections)];
    }
    return ~i;
}

}  // namespace vorlent
