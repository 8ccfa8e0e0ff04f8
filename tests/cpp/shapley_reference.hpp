#pragma once
// The Shapley tests' references: the path-dependent value function computed the slow,
// obvious way, and the thread-count check.
#include <omp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "model/node.hpp"
#include "model/node_cover.hpp"
#include "model/routing.hpp"
#include "model/shapley_plan.hpp"

namespace vorlent::testing {

// The path-dependent expectation of one tree's leaf values (output k) for coalition S.
inline double coalition_value(const Tree& tree, const std::vector<double>& cover,
                              const Directions& projections, const double* row, uint32_t S,
                              int32_t k, int32_t index) {
    const Node& n = tree[index];
    if (n.is_leaf) return n.leaf_values.empty() ? n.value : n.leaf_values[k];
    bool known = true;
    for (int32_t f : split_features(n, projections)) known = known && ((S >> f) & 1);
    if (known) {
        const int32_t next = goes_right(n, row, projections) ? n.right : n.left;
        return coalition_value(tree, cover, projections, row, S, k, next);
    }
    const double l = cover[n.left];
    const double r = cover[n.right];
    const double wl = (l + r > 0.0) ? l / (l + r) : 0.5;
    const double wr = (l + r > 0.0) ? r / (l + r) : 0.5;
    return wl * coalition_value(tree, cover, projections, row, S, k, n.left) +
           wr * coalition_value(tree, cover, projections, row, S, k, n.right);
}

// The model's raw score (output k) for every coalition S of the first n_cols columns.
inline std::vector<double> model_coalition_values(const Booster& b, const NodeCovers& covers,
                                                  const double* row, int32_t k, int32_t n_cols) {
    std::vector<double> v(size_t{1} << n_cols);
    for (uint32_t S = 0; S < v.size(); ++S) {
        v[S] = b.model.objective == kMulticlass ? b.model.base_scores[k] : b.model.base_score;
        for (size_t t = 0; t < b.model.trees.size(); ++t) {
            v[S] += b.model.learning_rate *
                    coalition_value(b.model.trees[t], covers[t], b.model.projections, row, S, k, 0);
        }
    }
    return v;
}

// 0!, 1!, ..., n!
inline std::vector<double> factorials(int32_t n) {
    std::vector<double> f(static_cast<size_t>(n) + 1, 1.0);
    for (int32_t i = 1; i <= n; ++i) f[i] = f[i - 1] * i;
    return f;
}

// A leaf of random value, or of `outputs` random values for a multiclass model.
inline Node random_leaf(std::mt19937& gen, int32_t outputs) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Node n = leaf(u(gen));
    if (outputs > 1) {
        n.value = 0.0;
        for (int32_t k = 0; k < outputs; ++k) n.leaf_values.push_back(u(gen));
    }
    return n;
}

// Random leaf counts summed upward; one leaf in five is never reached.
inline std::vector<double> random_covers(std::mt19937& gen, const Tree& tree) {
    std::vector<double> cover(tree.size(), 0.0);
    for (size_t i = 0; i < tree.size(); ++i) {
        if (tree[i].is_leaf) cover[i] = (gen() % 5 == 0) ? 0.0 : 1.0 + gen() % 50;
    }
    sum_covers_upward(tree, cover);
    return cover;
}

// True when `run` returns the same doubles, bit for bit, on one thread and on three.
template <typename Run>
bool same_on_one_and_three_threads(Run run) {
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    const std::vector<double> one = run();
    omp_set_num_threads(3);
    const std::vector<double> three = run();
    omp_set_num_threads(threads);
    return one.size() == three.size() &&
           std::memcmp(one.data(), three.data(), one.size() * sizeof(double)) == 0;
}

}  // namespace vorlent::testing
