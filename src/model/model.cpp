#include "model/model.hpp"

#include <algorithm>

#include "model/routing.hpp"

namespace vorlent {

void Model::refresh_facts() {
    required_width = required_columns(trees, projections);
    deepest_path = 0;
    packed.clear();
    packed.reserve(trees.size());
    for (const Tree& tree : trees) {
        deepest_path = std::max(deepest_path, tree_depth(tree));
        packed.push_back(pack_tree(tree));
    }
}

void Model::keep_first_trees(int32_t n) {
    const auto kept = static_cast<size_t>(n);
    trees.resize(std::min(trees.size(), kept));
    node_covers.resize(std::min(node_covers.size(), kept));
}

}  // namespace vorlent
