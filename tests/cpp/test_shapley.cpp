#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "booster_fixtures.hpp"
#include "model/node_cover.hpp"
#include "model/predict.hpp"
#include "model/quadrature.hpp"
#include "model/routing.hpp"
#include "model/shapley.hpp"
#include "model/shapley_plan.hpp"
#include "shapley_reference.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

constexpr int32_t kCols = 6;
constexpr int32_t kCategories = 4;

// A random tree of the given depth over kCols columns with every split kind: axis,
// oblique pair, categorical pair (column 0 holds the codes), and projection nodes over
// the booster's directions.
Tree random_mixed_tree(std::mt19937& gen, int depth, Booster& b, int32_t outputs) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int32_t> col(1, kCols - 1);
    auto make_leaf = [&] { return random_leaf(gen, outputs); };
    auto make_split = [&] {
        Node n;
        switch (gen() % 4) {
            case 0:
                n = split_node(kAxis, col(gen), -1, u(gen), 0, 0, 0, -1, -1);
                break;
            case 1:
                n = split_node(kLinearPair, col(gen), col(gen), 0, u(gen), u(gen), u(gen), -1, -1);
                break;
            case 2:
                n = split_node(kCategoryPair, 0, col(gen), 0, 1.0, u(gen), u(gen), -1, -1);
                for (int32_t c = 0; c < kCategories; ++c) n.category_values.push_back(u(gen));
                break;
            default: {
                std::vector<double> dir(kCols, 0.0);
                for (int32_t j = 1; j < kCols; ++j) dir[j] = (gen() % 2) ? u(gen) : 0.0;
                dir[col(gen)] = 0.7;
                n = split_node(kNoSplit, -1, -1, 0, 0, 0, 0.3 * u(gen), -1, -1);
                n.projection = static_cast<int32_t>(b.model.projections.size());
                b.model.projections.push_back(dir);
            }
        }
        n.missing_right = gen() % 2;
        return n;
    };
    // Now and then a shallower leaf, so paths differ in length.
    return grow_tree(depth, make_split, make_leaf, [&](int d) { return d >= 1 && gen() % 7 == 0; });
}

Booster random_model(std::mt19937& gen, int trees, int depth, int32_t outputs, NodeCovers& covers) {
    Booster b = default_booster();
    b.params.learning_rate = b.model.learning_rate = 0.3;
    b.model.base_score = 0.25;
    if (outputs > 1) {
        b.params.objective = b.model.objective = kMulticlass;
        b.model.n_outputs = outputs;
        for (int32_t k = 0; k < outputs; ++k) b.model.base_scores.push_back(0.1 * k);
    }
    covers.clear();
    for (int t = 0; t < trees; ++t) {
        b.model.trees.push_back(random_mixed_tree(gen, depth, b, outputs));
        covers.push_back(random_covers(gen, b.model.trees.back()));
    }
    b.model.n_features = kCols;
    b.model.refresh_facts();
    return b;
}

// Rows with category codes (some outside the table) in column 0 and missing values.
std::vector<double> random_rows(std::mt19937& gen, int64_t rows) {
    std::vector<double> x = random_matrix(gen, rows, kCols, 0.2);
    for (int64_t r = 0; r < rows; ++r) {
        x[r * kCols] = (gen() % 6 == 0) ? kNaN : static_cast<double>(gen() % (kCategories + 2));
    }
    return x;
}

// Shapley values over every coalition of the kCols columns, then the expected value.
std::vector<double> brute_force(const Booster& b, const NodeCovers& covers, const double* row,
                                int32_t k) {
    const uint32_t all = 1u << kCols;
    const std::vector<double> v = model_coalition_values(b, covers, row, k, kCols);
    const std::vector<double> factorial = factorials(kCols);
    std::vector<double> phi(kCols + 1, 0.0);
    for (int32_t i = 0; i < kCols; ++i) {
        for (uint32_t S = 0; S < all; ++S) {
            if ((S >> i) & 1) continue;
            const int s = std::popcount(S);
            const double w = factorial[s] * factorial[kCols - s - 1] / factorial[kCols];
            phi[i] += w * (v[S | (1u << i)] - v[S]);
        }
    }
    phi[kCols] = v[0];
    return phi;
}

std::vector<double> run_shap(const Booster& b, const NodeCovers& covers,
                             const std::vector<double>& x) {
    const auto rows = static_cast<int32_t>(x.size() / kCols);
    std::vector<double> out(static_cast<size_t>(rows) * b.model.n_outputs * (kCols + 1), -7.0);
    shap_values(b.model, covers, MatrixView{x.data(), rows, kCols}, out.data());
    return out;
}

}  // namespace

TEST(Shapley, GaussLegendreIntegratesPolynomialsExactly) {
    for (int32_t n = 1; n <= 40; ++n) {
        const QuadratureRule rule = gauss_legendre(n);
        for (int32_t k = 0; k < 2 * n; ++k) {
            double sum = 0.0;
            for (int32_t q = 0; q < n; ++q) sum += rule.weight[q] * std::pow(rule.node[q], k);
            EXPECT_NEAR(sum, 1.0 / (k + 1), 1e-14) << n << " points, t^" << k;
        }
    }
}

// Every split kind, missing values, uncounted leaves, shallow leaves and multiclass: the
// fast values equal the Shapley formula over all 2^6 coalitions.
TEST(Shapley, EqualsBruteForceOverEveryCoalition) {
    std::mt19937 gen(11);
    double max_abs = 0.0;
    double max_rel = 0.0;
    for (int32_t outputs : {1, 3}) {
        for (int trial = 0; trial < 12; ++trial) {
            NodeCovers covers;
            const Booster b = random_model(gen, 3, 2 + trial % 4, outputs, covers);
            const std::vector<double> x = random_rows(gen, 6);
            const std::vector<double> fast = run_shap(b, covers, x);
            for (int64_t r = 0; r < 6; ++r) {
                for (int32_t k = 0; k < outputs; ++k) {
                    const std::vector<double> ref = brute_force(b, covers, &x[r * kCols], k);
                    const double* got = &fast[(r * outputs + k) * (kCols + 1)];
                    for (int32_t i = 0; i <= kCols; ++i) {
                        const double err = std::fabs(got[i] - ref[i]);
                        max_abs = std::max(max_abs, err);
                        max_rel = std::max(max_rel, err / std::max(std::fabs(ref[i]), 1e-3));
                        ASSERT_NEAR(got[i], ref[i], 1e-12 * (1.0 + std::fabs(ref[i])))
                            << "outputs " << outputs << " trial " << trial << " row " << r
                            << " column " << i;
                    }
                }
            }
        }
    }
    std::printf("[ shapley  ] brute force: max abs error %.3g, max rel error %.3g\n", max_abs,
                max_rel);
}

// Each row's values and expected value add up to the unclipped raw score, on deeper trees
// than brute force can check.
TEST(Shapley, RowsSumToTheirRawScores) {
    std::mt19937 gen(5);
    for (int32_t outputs : {1, 4}) {
        NodeCovers covers;
        const Booster b = random_model(gen, 20, 7, outputs, covers);
        const std::vector<double> x = random_rows(gen, 300);
        const std::vector<double> phi = run_shap(b, covers, x);
        std::vector<double> raw(300 * static_cast<size_t>(outputs));
        predict_scores(b.model, MatrixView{x.data(), 300, kCols}, raw.data());
        for (size_t j = 0; j < raw.size(); ++j) {
            double sum = 0.0;
            for (int32_t i = 0; i <= kCols; ++i) sum += phi[j * (kCols + 1) + i];
            ASSERT_NEAR(sum, raw[j], 1e-9 * std::max(1.0, std::fabs(raw[j]))) << j;
        }
    }
}

TEST(Shapley, BitIdenticalForEveryThreadCount) {
    std::mt19937 gen(8);
    NodeCovers covers;
    const Booster b = random_model(gen, 30, 6, 1, covers);
    const std::vector<double> x = random_rows(gen, 500);
    EXPECT_TRUE(same_on_one_and_three_threads([&] { return run_shap(b, covers, x); }));
}

// Pair splits chained through shared columns link every group of the path; beyond the
// supported number the call refuses instead of enumerating 2^m subsets.
TEST(Shapley, RefusesPathsLinkingTooManyFeatureSets) {
    Booster b = default_booster();
    Tree tree;
    const int32_t depth = kMaxLinkedGroups + 1;
    for (int32_t d = 0; d < depth; ++d) {
        tree.push_back(split_node(kLinearPair, d, d + 1, 0, 1.0, 1.0, 0.0, 2 * d + 1, 2 * d + 2));
        tree.push_back(leaf(1.0));
    }
    tree.push_back(leaf(2.0));
    b.model.trees.push_back(tree);
    b.model.refresh_facts();
    NodeCovers covers{std::vector<double>(tree.size(), 1.0)};
    std::vector<double> x(static_cast<size_t>(depth) + 1, 0.5);
    std::vector<double> out((depth + 2), 0.0);
    EXPECT_THROW(shap_values(b.model, covers, MatrixView{x.data(), 1, depth + 1}, out.data()),
                 std::invalid_argument);
}

TEST(Shapley, BackgroundCoversCountRowsAtEveryNode) {
    Booster b = default_booster();
    b.model.trees.push_back({split_node(kAxis, 0, -1, 0.5, 0, 0, 0, 1, 2), leaf(1.0), leaf(2.0)});
    b.model.trees.back()[0].missing_right = 0;
    b.model.refresh_facts();
    const std::vector<double> x{0.1, 0.9, 0.7, kNaN, 0.4};
    const NodeCovers covers =
        background_covers(b.model.trees, b.model.projections, MatrixView{x.data(), 5, 1});
    ASSERT_EQ(covers.size(), 1u);
    EXPECT_EQ(covers[0], (std::vector<double>{5.0, 3.0, 2.0}));
    EXPECT_TRUE(covers_match(b.model.trees, covers));
    EXPECT_FALSE(covers_match(b.model.trees, NodeCovers{}));
}

// A call with many rows looks each leaf's weights up in tables built once per call; a
// call with one row computes them for the row. Both must give the same numbers, bit for
// bit, for every split kind and for multiclass leaves.
TEST(Shapley, TabulatedWeightsEqualRowByRowWeights) {
    std::mt19937 gen(21);
    for (int32_t outputs : {1, 3}) {
        NodeCovers covers;
        const Booster b = random_model(gen, 12, 6, outputs, covers);
        const std::vector<double> x = random_rows(gen, 400);
        const std::vector<double> together = run_shap(b, covers, x);
        const size_t block = static_cast<size_t>(outputs) * (kCols + 1);
        for (size_t r = 0; r < 400; ++r) {
            const std::vector<double> row(x.begin() + r * kCols, x.begin() + (r + 1) * kCols);
            const std::vector<double> alone = run_shap(b, covers, row);
            ASSERT_EQ(
                std::memcmp(alone.data(), together.data() + r * block, block * sizeof(double)), 0)
                << "outputs " << outputs << " row " << r;
        }
    }
}

// The first k trees give the same scores and Shapley values, bit for bit, as a model that
// holds only those trees; k = 0 leaves the start score.
TEST(Shapley, LeadingTreesActLikeATruncatedModel) {
    std::mt19937 gen(4);
    for (int32_t outputs : {1, 3}) {
        NodeCovers covers;
        const Booster b = random_model(gen, 9, 5, outputs, covers);
        const std::vector<double> x = random_rows(gen, 100);
        const MatrixView view{x.data(), 100, kCols};
        for (int32_t k : {0, 1, 4, 9}) {
            Booster cut = b;
            cut.model.trees.resize(static_cast<size_t>(k));
            cut.model.refresh_facts();
            const NodeCovers cut_covers(covers.begin(), covers.begin() + k);
            std::vector<double> want(100 * static_cast<size_t>(outputs));
            std::vector<double> got(want.size(), -1.0);
            predict_scores(cut.model, view, want.data());
            predict_scores(b.model, view, got.data(), k);
            ASSERT_EQ(got, want) << "scores, outputs " << outputs << " k " << k;
            const std::vector<double> phi_want = run_shap(cut, cut_covers, x);
            std::vector<double> phi_got(phi_want.size(), -7.0);
            shap_values(b.model, covers, view, phi_got.data(), k);
            ASSERT_EQ(
                std::memcmp(phi_got.data(), phi_want.data(), phi_want.size() * sizeof(double)), 0)
                << "Shapley values, outputs " << outputs << " k " << k;
        }
    }
}
