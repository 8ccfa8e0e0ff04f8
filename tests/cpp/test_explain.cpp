#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "model/explain.hpp"
#include "model/predict.hpp"
#include "model/routing.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// The obvious reference: a fresh, unbounded credit list for every row and tree.
std::vector<double> naive_explain(const Booster& b, const std::vector<double>& x, int32_t cols) {
    const int64_t rows = static_cast<int64_t>(x.size()) / cols;
    std::vector<double> out(x.size(), 0.0);
    for (int64_t r = 0; r < rows; ++r) {
        const double* row = x.data() + r * cols;
        for (const Tree& t : b.model.trees) {
            std::vector<std::pair<int32_t, double>> credits;
            int32_t i = 0;
            while (!t[i].is_leaf) {
                const Node& n = t[i];
                if (n.projection >= 0) {
                } else if (n.kind == kAxis) {
                    if (!std::isnan(row[n.feature_a])) credits.push_back({n.feature_a, n.gain});
                } else if (!std::isnan(row[n.feature_a]) && !std::isnan(row[n.feature_b])) {
                    credits.push_back({n.feature_a, std::fabs(n.coef_a) * n.gain});
                    credits.push_back({n.feature_b, std::fabs(n.coef_b) * n.gain});
                }
                i = goes_right(n, row, b.model.projections) ? n.right : n.left;
            }
            double total = 0.0;
            for (const auto& c : credits) total += c.second;
            if (!(total > 0.0)) continue;
            const double u = t[i].value * b.model.learning_rate;
            for (const auto& [c, w] : credits)
                out[r * cols + c] = (u * w) / total + out[r * cols + c];
        }
    }
    return out;
}

std::vector<double> run_explain(const Booster& b, const std::vector<double>& x, int32_t cols) {
    const int64_t rows = static_cast<int64_t>(x.size()) / cols;
    std::vector<double> out(x.size(), -7.0);  // explain must overwrite every entry
    explain(b.model, MatrixView{x.data(), static_cast<int32_t>(rows), cols}, out.data());
    return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    // memcmp must not see the null data() of an empty vector.
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

// Random gains, and some nodes turned into categorical-pair or projection tests.
void vary_nodes(Tree& tree, std::mt19937& gen, Directions& projections, int32_t cols) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (Node& n : tree) {
        if (n.is_leaf) continue;
        n.gain = std::fabs(u(gen)) * 3.0 + 1e-3;
        const unsigned pick = gen() % 6;
        if (pick == 0 && n.feature_b >= 0) {
            n.kind = kCategoryPair;
            n.coef_a = 1.0;
            n.category_values = {u(gen), u(gen), u(gen)};
        } else if (pick == 1) {
            std::vector<double> d(cols, 0.0);
            d[gen() % cols] = u(gen);
            d[gen() % cols] = u(gen);
            n.projection = static_cast<int32_t>(projections.size());
            n.kind = 0;
            projections.push_back(d);
        }
    }
}

Booster random_model(std::mt19937& gen, int n_trees, int32_t cols) {
    Booster b = default_booster();
    b.model.base_score = 0.3;
    b.params.learning_rate = b.model.learning_rate = 0.2;
    for (int t = 0; t < n_trees; ++t) {
        Tree tree = random_tree(gen, t % 5, cols);
        vary_nodes(tree, gen, b.model.projections, cols);
        b.model.trees.push_back(tree);
    }
    b.model.refresh_facts();
    return b;
}

// Category codes 0..3 in the first column so that categorical-pair tables are reached.
std::vector<double> random_rows(std::mt19937& gen, int64_t rows, int32_t cols, double nan_share) {
    std::vector<double> x = random_matrix(gen, rows, cols, nan_share);
    for (int64_t r = 0; r < rows; ++r) {
        if (!std::isnan(x[r * cols])) x[r * cols] = static_cast<double>(gen() % 4);
    }
    return x;
}

}  // namespace

TEST(Explain, DepthOneAxisTreeCreditsItsColumn) {
    Booster b = default_booster();
    b.params.learning_rate = b.model.learning_rate = 0.1;
    Tree t(3);
    t[0] = split_node(kAxis, 3, -1, 0.0, 0, 0, 0, 1, 2);
    t[0].gain = 2.0;
    t[1] = leaf(-4.0);
    t[2] = leaf(0.5);
    b.model.trees.push_back(t);
    b.model.refresh_facts();
    const std::vector<double> x{1.0, 1.0, 1.0, 1.0, 1.0};  // column 3 >= 0: right leaf
    const std::vector<double> got = run_explain(b, x, 5);
    EXPECT_EQ(got, (std::vector<double>{0.0, 0.0, 0.0, 0.5 * 0.1, 0.0}));
}

TEST(Explain, ObliqueNodeSharesByCoefficientSize) {
    Booster b = default_booster();
    b.params.learning_rate = b.model.learning_rate = 1.0;
    Tree t(3);
    t[0] = split_node(kLinearPair, 0, 1, 0.0, 2.0, -1.0, 0.0, 1, 2);
    t[0].gain = 1.0;
    t[1] = leaf(-1.0);
    t[2] = leaf(1.0);
    b.model.trees.push_back(t);
    b.model.refresh_facts();
    const std::vector<double> x{1.0, 0.5, 9.0};  // 2*1 - 0.5 >= 0: right
    const std::vector<double> got = run_explain(b, x, 3);
    EXPECT_DOUBLE_EQ(got[0], 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(got[1], 1.0 / 3.0);
    EXPECT_EQ(got[2], 0.0);
}

TEST(Explain, MissingValuesEarnNoCredit) {
    Booster b = default_booster();
    b.params.learning_rate = b.model.learning_rate = 1.0;
    Tree t(5);
    t[0] = split_node(kAxis, 0, -1, 0.0, 0, 0, 0, 1, 2);  // NaN goes right
    t[0].gain = 5.0;
    t[1] = leaf(100.0);
    t[2] = split_node(kAxis, 1, -1, 0.0, 0, 0, 0, 3, 4);
    t[2].gain = 1.0;
    t[3] = leaf(-100.0);
    t[4] = leaf(2.0);
    b.model.trees.push_back(t);
    b.model.refresh_facts();
    std::vector<double> got = run_explain(b, {kNaN, 1.0}, 2);
    EXPECT_EQ(got, (std::vector<double>{0.0, 2.0}));
    // Every test on the path meets a missing value: the tree adds nothing.
    got = run_explain(b, {kNaN, kNaN}, 2);
    EXPECT_EQ(got, (std::vector<double>{0.0, 0.0}));
    // A pair test with one missing value earns nothing for either column.
    b.model.trees[0][2] = split_node(kLinearPair, 1, 2, 0.0, 1.0, 1.0, 0.0, 3, 4);
    b.model.refresh_facts();
    got = run_explain(b, {kNaN, 1.0, kNaN}, 3);
    EXPECT_EQ(got, (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(Explain, CategoryPairRoutesThroughItsTable) {
    Booster b = default_booster();
    b.params.learning_rate = b.model.learning_rate = 1.0;
    Tree t(3);
    // Right exactly when the offset of the row's code, plus 0 * column 1, reaches 0.5.
    t[0] = split_node(kCategoryPair, 0, 1, 0.0, 1.0, 0.0, -0.5, 1, 2);
    t[0].category_values = {0.0, 0.0, 1.0};
    t[0].gain = 4.0;
    t[1] = leaf(-3.0);
    t[2] = leaf(5.0);
    b.model.trees.push_back(t);
    b.model.refresh_facts();
    const std::vector<double> x{2.0, 7.0, 1.0, 7.0, 5.0, 7.0};  // codes 2, 1, out of range
    const std::vector<double> got = run_explain(b, x, 2);
    std::vector<double> raw(3);
    predict_scores(b.model, MatrixView{x.data(), 3, 2}, raw.data());
    EXPECT_EQ(raw, (std::vector<double>{5.0, -3.0, -3.0}));
    // coef_a is 1.0 and coef_b 0.0: the categorical column takes the whole leaf value.
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(got[2 * r], raw[r]);
        EXPECT_EQ(got[2 * r + 1], 0.0);
    }
}

TEST(Explain, ProjectionTreesAndMulticlassModelsExplainToZeros) {
    std::mt19937 gen(4);
    Booster b = default_booster();
    b.model.projections = {{0.6, 0.8}, {1.0, 0.0}};
    Tree t(5);
    t[0] = split_node(0, -1, -1, 0.0, 0, 0, -0.1, 1, 4);
    t[0].projection = 0;
    t[1] = split_node(0, -1, -1, 0.0, 0, 0, 0.2, 2, 3);
    t[1].projection = 1;
    t[2] = leaf(1.0);
    t[3] = leaf(2.0);
    t[4] = leaf(3.0);
    b.model.trees.push_back(t);
    b.model.refresh_facts();
    const std::vector<double> x = random_matrix(gen, 50, 2, 0.1);
    EXPECT_EQ(run_explain(b, x, 2), std::vector<double>(100, 0.0));

    Booster m = default_booster();
    m.params.objective = m.model.objective = kMulticlass;
    m.model.n_outputs = 3;
    for (int k = 0; k < 6; ++k) {
        Tree tree = random_tree(gen, 3, 2);
        for (Node& n : tree) {
            if (n.is_leaf) n.leaf_values = {1.0, -2.0, 0.5};
            n.value = 0.0;
        }
        m.model.trees.push_back(tree);
    }
    m.model.refresh_facts();
    EXPECT_EQ(run_explain(m, x, 2), std::vector<double>(100, 0.0));
}

TEST(Explain, MatchesNaiveReferenceOnRandomModels) {
    std::mt19937 gen(21);
    for (int trial = 0; trial < 5; ++trial) {
        const int32_t cols = 3 + trial;
        const Booster b = random_model(gen, 12, cols);
        const std::vector<double> x = random_rows(gen, 300, cols, 0.15);
        EXPECT_TRUE(same_bits(run_explain(b, x, cols), naive_explain(b, x, cols))) << trial;
    }
}

TEST(Explain, ContributionsSumToTheRawScoreLessUncreditedTrees) {
    std::mt19937 gen(8);
    const int32_t cols = 6;
    Booster b = default_booster();
    b.model.base_score = -1.25;
    b.params.learning_rate = b.model.learning_rate = 0.3;
    double single_leaves = 0.0;
    for (int t = 0; t < 20; ++t) {
        Tree tree = random_tree(gen, t % 5, cols);  // depth 0: a single leaf
        for (Node& n : tree) n.gain = 0.5 + (gen() % 100) / 10.0;
        if (tree.size() == 1) single_leaves += tree[0].value * b.model.learning_rate;
        b.model.trees.push_back(tree);
    }
    b.model.refresh_facts();
    const int64_t rows = 400;
    const std::vector<double> x = random_matrix(gen, rows, cols, 0.0);
    const std::vector<double> contrib = run_explain(b, x, cols);
    std::vector<double> raw(rows);
    predict_scores(b.model, MatrixView{x.data(), static_cast<int32_t>(rows), cols}, raw.data());
    for (int64_t r = 0; r < rows; ++r) {
        double sum = 0.0;
        for (int32_t c = 0; c < cols; ++c) sum += contrib[r * cols + c];
        EXPECT_NEAR(sum, raw[r] - b.model.base_score - single_leaves, 1e-9) << r;
    }
}

TEST(Explain, PathsDeeperThanTheConfiguredDepthKeepEveryCredit) {
    // A loaded model may be much deeper than the receiving booster's max_depth.
    Booster b = default_booster();
    b.params.max_depth = 1;
    b.params.learning_rate = b.model.learning_rate = 1.0;
    const int32_t internal = 4 * b.params.max_depth + 8 + 3;  // 15 pair nodes: 30 credits
    const int32_t cols = internal + 1;
    Tree t;
    for (int32_t k = 0; k < internal; ++k) {
        // Every row goes left down a chain: column k and the last column, both 1.0.
        // Preorder: node 2k is internal, its right child the leaf 2k+1, its left 2k+2.
        Node n = split_node(kLinearPair, k, cols - 1, 0.0, 1.0, 1.0, -100.0, 2 * k + 2, 2 * k + 1);
        n.gain = 1.0;
        t.push_back(n);
        t.push_back(leaf(-50.0));
    }
    t.push_back(leaf(30.0));
    b.model.trees.push_back(t);
    b.model.refresh_facts();
    ASSERT_EQ(b.model.deepest_path, internal);
    const std::vector<double> x(cols, 1.0);
    const std::vector<double> got = run_explain(b, x, cols);
    EXPECT_TRUE(same_bits(got, naive_explain(b, x, cols)));
    for (int32_t k = 0; k < internal; ++k) EXPECT_DOUBLE_EQ(got[k], 1.0) << k;
    EXPECT_DOUBLE_EQ(got[cols - 1], 15.0);
}

TEST(Explain, IdenticalForAnyThreadCountAndAcrossTheParallelThreshold) {
    std::mt19937 gen(31);
    const int32_t cols = 7;
    const Booster b = random_model(gen, 25, cols);
    const std::vector<double> x = random_rows(gen, 5003, cols, 0.1);
    const std::vector<double> reference = naive_explain(b, x, cols);
    for (int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        EXPECT_TRUE(same_bits(run_explain(b, x, cols), reference)) << threads << " threads";
    }
    omp_set_num_threads(2);
    const std::vector<double> head(x.begin(), x.begin() + 2001 * cols);
    const std::vector<double> small = run_explain(b, {x.begin(), x.begin() + 2000 * cols}, cols);
    const std::vector<double> large = run_explain(b, head, cols);
    EXPECT_EQ(std::memcmp(small.data(), large.data(), small.size() * 8), 0);
    EXPECT_TRUE(same_bits(large, naive_explain(b, head, cols)));
}

TEST(Explain, EmptyInputsAndWideMatrices) {
    std::mt19937 gen(2);
    const Booster b = random_model(gen, 4, 3);
    EXPECT_TRUE(run_explain(b, {}, 3).empty());
    // Columns the model never reads stay zero; an untrained model explains to zeros.
    const std::vector<double> x = random_rows(gen, 10, 5, 0.0);
    const std::vector<double> got = run_explain(b, x, 5);
    for (int r = 0; r < 10; ++r) {
        EXPECT_EQ(got[r * 5 + 3], 0.0);
        EXPECT_EQ(got[r * 5 + 4], 0.0);
    }
    EXPECT_EQ(run_explain(default_booster(), x, 5), std::vector<double>(50, 0.0));
}
