#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "alloc_counter.hpp"
#include "booster_fixtures.hpp"
#include "model/routing.hpp"
#include "prep/binning.hpp"
#include "tree/column_sampling.hpp"
#include "tree/grow_node.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct Problem {
    std::vector<double> x, grad, hess;
    int32_t rows = 0, cols = 0;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
};

// Gradients of a squared loss at zero scores for a target built by `target`.
template <class F>
Problem make_problem(int32_t rows, int32_t cols, uint32_t seed, double nan_share, F target) {
    std::mt19937 gen(seed);
    Problem p;
    p.rows = rows;
    p.cols = cols;
    p.x = random_matrix(gen, rows, cols, nan_share);
    for (int32_t r = 0; r < rows; ++r) {
        p.grad.push_back(-target(p.x.data() + static_cast<int64_t>(r) * cols));
        p.hess.push_back(1.0);
    }
    return p;
}

Tree grow(Booster& b, const Problem& p, TreeWorkspace& ws) {
    const BinnedMatrix bins = build_bins(p.view(), b.params.max_bins, b.params.categorical);
    b.model.n_features = p.cols;
    b.model.importances.feature_gain.assign(p.cols, 0.0);
    b.model.importances.coefficient_gain.assign(p.cols, 0.0);
    const MatrixView X = p.view();
    const TreeInput in{&X, &bins, p.grad.data(), p.hess.data()};
    ws.rows.resize(p.rows);
    for (int32_t r = 0; r < p.rows; ++r) ws.rows[r] = r;
    Tree tree;
    grow_node(tree, in, 0, p.rows, 0, tree_params_of(b, std::vector<double>(p.cols, 0.5)), b.rng,
              outputs_of(b), -kInf, kInf, ws);
    return tree;
}

Tree grow(Booster& b, const Problem& p) {
    TreeWorkspace ws;
    return grow(b, p, ws);
}

// Checks the tree's structure and that every internal node's value is the Newton value
// of the rows that reach it.
void check_tree(const Tree& tree, const Problem& p, double lambda) {
    std::vector<double> g(tree.size(), 0), h(tree.size(), 0);
    for (int32_t r = 0; r < p.rows; ++r) {
        int32_t i = 0;
        const double* row = p.x.data() + static_cast<int64_t>(r) * p.cols;
        for (;;) {
            g[i] += p.grad[r];
            h[i] += p.hess[r];
            if (tree[i].is_leaf) break;
            i = goes_right(tree[i], row, {}) ? tree[i].right : tree[i].left;
        }
    }
    for (size_t i = 0; i < tree.size(); ++i) {
        const Node& n = tree[i];
        if (n.is_leaf) {
            EXPECT_EQ(n.left, -1);
            continue;
        }
        EXPECT_EQ(n.left, static_cast<int32_t>(i) + 1);
        EXPECT_GT(n.right, n.left);
        EXPECT_GT(n.gain, 1e-6);
        EXPECT_GT(h[n.left], 0.0);
        EXPECT_GT(h[n.right], 0.0);
        EXPECT_NEAR(g[n.left] + g[n.right], g[i], 1e-9);  // conservation
        EXPECT_NEAR(n.value, -g[i] / (h[i] + lambda), 1e-9);
    }
}

}  // namespace

TEST(GrowNode, PlantedAxisSplitIsFound) {
    const Problem p = make_problem(400, 3, 1, 0.0, [](const double* x) { return x[1] > 0.2 ? 1.0 : -1.0; });
    Booster b = default_booster();
    b.params.split_mode = kAxisOnly;
    b.params.max_depth = 1;
    const Tree t = grow(b, p);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].kind, kAxis);
    EXPECT_EQ(t[0].feature_a, 1);
    EXPECT_NEAR(t[0].threshold, 0.2, 0.05);
    check_tree(t, p, b.params.reg_lambda);
    // Axis splits credit feature and coefficient gain alike.
    EXPECT_EQ(b.model.importances.feature_gain[1], t[0].gain);
    EXPECT_EQ(b.model.importances.coefficient_gain[1], t[0].gain);
}

TEST(GrowNode, PlantedObliqueSplitBeatsAxis) {
    const Problem p = make_problem(2000, 4, 2, 0.0,
                                   [](const double* x) { return x[0] - x[2] > 0 ? 1.0 : -1.0; });
    Booster b = default_booster();
    b.params.max_depth = 1;
    const Tree t = grow(b, p);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].kind, kLinearPair);
    EXPECT_EQ(t[0].feature_a, 0);
    EXPECT_EQ(t[0].feature_b, 2);
    EXPECT_NEAR(t[0].coef_a, -t[0].coef_b, 0.1);
    const std::vector<PairGain> pairs = b.model.importances.interaction_gain.sorted();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].a, 0);
    EXPECT_EQ(pairs[0].b, 2);
    EXPECT_GT(pairs[0].gain, 0.0);
    check_tree(t, p, b.params.reg_lambda);
}

TEST(GrowNode, DeepTreesConserveGradientsWithMissingValues) {
    const Problem p = make_problem(3000, 5, 3, 0.1, [](const double* x) {
        const double a = std::isnan(x[0]) ? 0.5 : x[0];
        const double c = std::isnan(x[3]) ? -0.5 : x[3];
        return a * c + (std::isnan(x[1]) ? 1.0 : x[1]);
    });
    for (int mode : {0, 1, 2}) {
        Booster b = default_booster();
        b.params.split_mode = static_cast<SplitMode>(mode);
        b.params.max_depth = 5;
        const Tree t = grow(b, p);
        EXPECT_GT(t.size(), 15u);
        check_tree(t, p, b.params.reg_lambda);
    }
}

TEST(GrowNode, DepthAndSizeLimits) {
    const Problem p = make_problem(50, 2, 4, 0.0, [](const double* x) { return x[0]; });
    Booster b = default_booster();
    b.params.max_depth = 0;
    Tree t = grow(b, p);
    ASSERT_EQ(t.size(), 1u);
    double g = 0;
    for (double v : p.grad) g += v;
    EXPECT_DOUBLE_EQ(t[0].value, -g / (50 + b.params.reg_lambda));
    b = default_booster();
    b.params.min_samples = 51;
    EXPECT_EQ(grow(b, p).size(), 1u);
    b.params.min_samples = 50;  // exactly min_samples rows may split
    EXPECT_GT(grow(b, p).size(), 1u);
}

TEST(GrowNode, MonotoneConstraintBoundsChildren) {
    // The target falls with x0, but x0 is constrained to rise: every leaf to the right of
    // a split on x0 must not be below the leaves to its left.
    const Problem p = make_problem(2000, 2, 5, 0.0, [](const double* x) { return -x[0] + 0.3 * x[1]; });
    Booster b = default_booster();
    b.params.monotone = {1, 0};
    b.params.split_mode = kAxisOnly;
    b.params.max_depth = 4;
    const Tree t = grow(b, p);
    std::vector<double> grid;
    for (double v = -1.0; v <= 1.0; v += 0.01) grid.push_back(v);
    for (double other : {-0.9, 0.0, 0.9}) {
        double prev = -kInf;
        for (double v : grid) {
            const double row[2] = {v, other};
            const double value = t[find_leaf(t, row, {})].value;
            EXPECT_GE(value, prev - 1e-12);
            prev = value;
        }
    }
}

TEST(GrowNode, MulticlassLeavesCarryPerOutputValues) {
    // Three outputs with the same gradients on every row: every reduced gradient is zero.
    Booster b = default_booster();
    b.params.objective = b.model.objective = kMulticlass;
    b.model.n_outputs = 3;
    std::vector<double> x{0, 1, 2, 3};
    std::vector<double> grad(12, 0.5), hess(12, 0.25);
    const MatrixView X{x.data(), 4, 1};
    const BinnedMatrix bins = build_bins(X, 64, {});
    b.model.importances.feature_gain.assign(1, 0);
    b.model.importances.coefficient_gain.assign(1, 0);
    b.params.min_samples = 1;
    TreeWorkspace ws;
    ws.rows = {0, 1, 2, 3};
    Tree t;
    const TreeInput in{&X, &bins, grad.data(), hess.data()};
    grow_node(t, in, 0, 4, 0, tree_params_of(b, {1.0}), b.rng, outputs_of(b), -kInf, kInf, ws);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].value, 0.0);
    ASSERT_EQ(t[0].leaf_values.size(), 3u);
    for (double v : t[0].leaf_values) EXPECT_DOUBLE_EQ(v, -2.0 / (1.0 + 1.0));
}

TEST(ColumnSampling, CountsAndDraws) {
    auto count = [](int32_t n, double c) {
        Rng rng(1);
        std::vector<int32_t> out;
        sample_columns(n, c, rng, out);
        EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
        return out.size();
    };
    EXPECT_EQ(count(3, 0.5), 2u);
    EXPECT_EQ(count(30, 0.1), 3u);
    EXPECT_EQ(count(100, 0.07), 8u);
    EXPECT_EQ(count(10, 0.01), 2u);
    Rng rng(1), fresh(1);
    std::vector<int32_t> out;
    sample_columns(1, 0.5, rng, out);
    EXPECT_EQ(out, (std::vector<int32_t>{0, 0}));
    sample_columns(5, 1.0, rng, out);  // no draw
    EXPECT_EQ(out.size(), 5u);
    EXPECT_EQ(rng(), fresh());
}

TEST(GrowNode, ThreadCountDoesNotChangeTheTree) {
    const Problem p = make_problem(12000, 7, 6, 0.05, [](const double* x) {
        return (std::isnan(x[0]) ? 0 : x[0]) * (std::isnan(x[1]) ? 0 : x[1]) +
               (std::isnan(x[4]) ? 0 : x[4]);
    });
    std::vector<Tree> trees;
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        Booster b = default_booster();
        b.params.categorical = {0, 0, 0, 0, 0, 0, 0};
        b.params.max_depth = 4;
        trees.push_back(grow(b, p));
    }
    omp_set_num_threads(2);
    for (size_t t = 1; t < trees.size(); ++t) {
        ASSERT_EQ(trees[t].size(), trees[0].size());
        for (size_t i = 0; i < trees[0].size(); ++i) {
            const Node& a = trees[0][i];
            const Node& c = trees[t][i];
            EXPECT_EQ(a.kind, c.kind);
            EXPECT_EQ(a.feature_a, c.feature_a);
            EXPECT_EQ(a.feature_b, c.feature_b);
            EXPECT_EQ(std::memcmp(&a.value, &c.value, 8), 0);
            EXPECT_EQ(std::memcmp(&a.bias, &c.bias, 8), 0);
            EXPECT_EQ(std::memcmp(&a.threshold, &c.threshold, 8), 0);
            EXPECT_EQ(std::memcmp(&a.gain, &c.gain, 8), 0);
        }
    }
}

TEST(GrowNode, NoHeapAllocationPerNodeOnceWarm) {
    const Problem p = make_problem(5000, 6, 7, 0.0, [](const double* x) { return x[0] * x[1] + x[2]; });
    for (int mode : {0, 1}) {
        Booster b = default_booster();
        b.params.split_mode = static_cast<SplitMode>(mode);
        b.params.max_depth = 6;
        TreeWorkspace ws;
        const Tree first = grow(b, p, ws);
        // The second tree: the only allocations left are the tree's own node storage.
        const BinnedMatrix bins = build_bins(p.view(), b.params.max_bins, b.params.categorical);
        const MatrixView X = p.view();
        const TreeInput in{&X, &bins, p.grad.data(), p.hess.data()};
        const TreeParams params = tree_params_of(b, std::vector<double>(p.cols, 0.5));
        const TreeOutputs outputs = outputs_of(b);
        for (int32_t r = 0; r < p.rows; ++r) ws.rows[r] = r;
        ws.leaves.clear();
        Tree tree;
        tree.reserve(256);
        long allocations = 0;
        {
            CountAllocations counter;
            grow_node(tree, in, 0, p.rows, 0, params, b.rng, outputs, -kInf, kInf, ws);
            allocations = counter.count();
        }
        EXPECT_GT(tree.size(), 31u);
        EXPECT_EQ(allocations, 0) << "split_mode " << mode << ", " << tree.size() << " nodes";
    }
}
