#include "model/packed_forest.hpp"

namespace vorlent {

PackedTree pack_tree(const Tree& tree) {
    PackedTree packed;
    if (tree.empty()) return packed;
    // Number internal nodes and leaves in tree order.
    std::vector<int32_t> slot(tree.size());
    int32_t internal = 0, leaves = 0;
    for (size_t i = 0; i < tree.size(); ++i) {
        slot[i] = tree[i].is_leaf ? ~leaves++ : internal++;
    }
    packed.nodes.reserve(static_cast<size_t>(internal));
    packed.leaf_value.reserve(static_cast<size_t>(leaves));
    packed.leaf_node.reserve(static_cast<size_t>(leaves));
    for (size_t i = 0; i < tree.size(); ++i) {
        const Node& n = tree[i];
        if (n.is_leaf) {
            packed.leaf_value.push_back(n.value);
            packed.leaf_node.push_back(static_cast<int32_t>(i));
            continue;
        }
        PackedNode p{};
        p.node = static_cast<int32_t>(i);
        p.child[0] = slot[n.left];
        p.child[1] = slot[n.right];
        p.missing_right = n.missing_right != 0 ? 1 : 0;
        p.feature_a = n.feature_a;
        p.feature_b = n.feature_b;
        if (n.projection < 0 && n.kind == kAxis) {
            p.kind = kAxis;
            p.t = n.threshold;
        } else if (n.projection < 0 && n.kind != kCategoryPair) {
            // Every kind other than 1 and 3 routes as a linear pair.
            p.kind = kLinearPair;
            p.t = n.bias;
            p.coef_a = n.coef_a;
            p.coef_b = n.coef_b;
        } else {
            p.kind = kOtherTest;
        }
        packed.nodes.push_back(p);
    }
    packed.root = slot[0];
    return packed;
}

}  // namespace vorlent
