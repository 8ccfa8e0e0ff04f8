#include "model/routing.hpp"

#include <algorithm>

namespace vorlent {

int32_t required_columns(const std::vector<Tree>& trees, const Directions& projections) {
    int32_t width = 0;
    for (const Tree& tree : trees) {
        for (const Node& node : tree) {
            if (node.is_leaf) continue;
            if (node.projection >= 0) {
                const std::vector<double>& d = projections[node.projection];
                for (size_t j = d.size(); j > 0; --j) {
                    if (d[j - 1] != 0.0) {
                        width = std::max(width, static_cast<int32_t>(j));
                        break;
                    }
                }
            } else if (node.kind == kAxis) {
                width = std::max(width, node.feature_a + 1);
            } else {
                width = std::max({width, node.feature_a + 1, node.feature_b + 1});
            }
        }
    }
    return width;
}

int32_t tree_depth(const Tree& tree) {
    // Children always follow their parent, so one backward pass sees children first.
    std::vector<int32_t> depth(tree.size(), 0);
    for (size_t i = tree.size(); i > 0; --i) {
        const Node& node = tree[i - 1];
        if (node.is_leaf) continue;
        depth[i - 1] = 1 + std::max(depth[node.left], depth[node.right]);
    }
    return tree.empty() ? 0 : depth[0];
}

}  // namespace vorlent
