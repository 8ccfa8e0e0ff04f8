#pragma once
// Helpers shared by the C++ tests: default boosters and hand-built trees.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "boosting/booster.hpp"
#include "boosting/fit_state.hpp"

namespace vorlent::testing {

inline const double kNaN = std::numeric_limits<double>::quiet_NaN();

inline Booster default_booster() {
    return Booster(60, 0.12, 4, 64, 1.0, 10, 1.0, 1.0, 42, 0, 0, 0.9, 0, {}, {}, 0, 0);
}

// Sets what training sets in the model before a tree builder runs: importance
// accumulators for `cols` columns.
inline void ready_to_grow(Booster& b, int32_t cols) {
    b.model.n_features = cols;
    b.model.importances.feature_gain.assign(cols, 0.0);
    b.model.importances.coefficient_gain.assign(cols, 0.0);
    b.model.importances.interaction_gain.clear();
}

// The tree parameters a fit of booster b hands its builders, with the given column scales
// (none: every column's scale counts as 1.0).
inline TreeParams tree_params_of(const Booster& b, std::vector<double> scale = {}) {
    return tree_params(b.params, b.model, std::move(scale));
}

// Where the builders write for booster b: its model's accumulators and projections.
inline TreeOutputs outputs_of(Booster& b) {
    return TreeOutputs{&b.model.importances, b.model.n_features, &b.model.projections};
}

inline Node split_node(int32_t kind, int32_t fa, int32_t fb, double threshold, double ca,
                       double cb, double bias, int32_t left, int32_t right) {
    Node n;
    n.is_leaf = false;
    n.kind = kind;
    n.feature_a = fa;
    n.feature_b = fb;
    n.threshold = threshold;
    n.coef_a = ca;
    n.coef_b = cb;
    n.bias = bias;
    n.left = left;
    n.right = right;
    n.missing_right = 1;
    n.gain = 1.0;
    return n;
}

inline Node leaf(double value) {
    Node n;
    n.value = value;
    return n;
}

// A tree in depth-first preorder: at depth d, a leaf from make_leaf() when d == depth or
// stop(d) holds, else a split from make_split() followed by its two subtrees.
template <class Split, class Leaf, class Stop>
Tree grow_tree(int depth, Split make_split, Leaf make_leaf, Stop stop) {
    Tree tree;
    auto grow = [&](auto&& self, int d) -> int32_t {
        const int32_t index = static_cast<int32_t>(tree.size());
        tree.push_back(make_leaf());
        if (d == depth || stop(d)) return index;
        tree[index] = make_split();
        const int32_t l = self(self, d + 1);
        const int32_t r = self(self, d + 1);
        tree[index].left = l;
        tree[index].right = r;
        return index;
    };
    grow(grow, 0);
    return tree;
}

// A random full tree of the given depth over n_features columns, mixing axis and pair tests.
inline Tree random_tree(std::mt19937& gen, int depth, int32_t n_features) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int32_t> col(0, n_features - 1);
    auto split = [&] {
        Node n = (gen() % 2) ? split_node(kAxis, col(gen), -1, u(gen), 0, 0, 0, -1, -1)
                             : split_node(kLinearPair, col(gen), col(gen), 0, u(gen), u(gen),
                                          u(gen), -1, -1);
        n.missing_right = gen() % 2;
        return n;
    };
    return grow_tree(depth, split, [&] { return leaf(u(gen)); }, [](int) { return false; });
}

inline std::vector<double> random_matrix(std::mt19937& gen, int64_t rows, int32_t cols,
                                         double nan_share) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(static_cast<size_t>(rows) * cols);
    for (double& v : x) v = (u(gen) * 0.5 + 0.5 < nan_share) ? kNaN : u(gen);
    return x;
}

}  // namespace vorlent::testing
