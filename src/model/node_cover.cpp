#include "model/node_cover.hpp"

#include "common/parallel.hpp"
#include "model/routing.hpp"

namespace vorlent {

bool covers_match(const std::vector<Tree>& trees, const NodeCovers& covers) {
    if (covers.size() != trees.size()) return false;
    for (size_t t = 0; t < trees.size(); ++t) {
        if (covers[t].size() != trees[t].size()) return false;
    }
    return true;
}

void sum_covers_upward(const Tree& tree, std::vector<double>& cover) {
    for (size_t i = tree.size(); i > 0; --i) {
        const Node& node = tree[i - 1];
        if (!node.is_leaf) cover[i - 1] = cover[node.left] + cover[node.right];
    }
}

std::vector<double> count_node_visits(const Tree& tree, const Directions& projections,
                                      const MatrixView& X, const int32_t* rows, int64_t n) {
    std::vector<double> cover(tree.size(), 0.0);
    if (tree.empty()) return cover;
    for (int64_t i = 0; i < n; ++i) {
        const double* row = X.row(rows ? rows[i] : i);
        cover[static_cast<size_t>(find_leaf(tree, row, projections))] += 1.0;
    }
    sum_covers_upward(tree, cover);
    return cover;
}

NodeCovers background_covers(const std::vector<Tree>& trees, const Directions& projections,
                             const MatrixView& X) {
    NodeCovers covers(trees.size());
    const auto n_trees = static_cast<int64_t>(trees.size());
    parallel_for_dynamic(n_trees, 1, n_trees > 1 && X.n_rows > 100, [&](int64_t t) {
        covers[t] = count_node_visits(trees[t], projections, X, nullptr, X.n_rows);
    });
    return covers;
}

}  // namespace vorlent
