#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "booster_fixtures.hpp"
#include "model/interaction.hpp"
#include "model/node_cover.hpp"
#include "model/predict.hpp"
#include "model/shapley.hpp"
#include "shapley_reference.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

constexpr int32_t kCols = 5;
constexpr int32_t kWidth = kCols + 1;
constexpr int32_t kBlock = kWidth * kWidth;

// A random tree of axis splits over kCols columns (a column may recur on a path), with
// random missing-value sides, uncounted leaves and now and then a shallower leaf.
Tree random_axis_tree(std::mt19937& gen, int depth, int32_t outputs) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    auto make_leaf = [&] { return random_leaf(gen, outputs); };
    auto make_split = [&] {
        Node n = split_node(kAxis, static_cast<int32_t>(gen() % kCols), -1, 0.6 * u(gen), 0, 0, 0,
                            -1, -1);
        n.missing_right = gen() % 2;
        return n;
    };
    return grow_tree(depth, make_split, make_leaf, [&](int d) { return d >= 1 && gen() % 6 == 0; });
}

Booster random_axis_model(std::mt19937& gen, int trees, int depth, int32_t outputs,
                          NodeCovers& covers) {
    Booster b = default_booster();
    b.params.learning_rate = b.model.learning_rate = 0.4;
    b.model.base_score = -0.3;
    if (outputs > 1) {
        b.params.objective = b.model.objective = kMulticlass;
        b.model.n_outputs = outputs;
        for (int32_t k = 0; k < outputs; ++k) b.model.base_scores.push_back(0.2 * k);
    }
    covers.clear();
    for (int t = 0; t < trees; ++t) {
        b.model.trees.push_back(random_axis_tree(gen, depth, outputs));
        covers.push_back(random_covers(gen, b.model.trees.back()));
    }
    b.model.n_features = kCols;
    b.model.refresh_facts();
    return b;
}

// The interaction matrix of one row and output from the definition: v over all 2^kCols
// coalitions, the Shapley interaction index (halved) off the diagonal, the Shapley value
// less the rest of the row on it, the expected value in the corner.
std::vector<double> brute_force(const Booster& b, const NodeCovers& covers, const double* row,
                                int32_t k) {
    constexpr uint32_t kAll = 1u << kCols;
    const std::vector<double> v = model_coalition_values(b, covers, row, k, kCols);
    const std::vector<double> fact = factorials(kCols);
    std::vector<double> m(kBlock, 0.0);
    for (int32_t i = 0; i < kCols; ++i) {
        const uint32_t bi = 1u << i;
        double phi = 0.0;
        for (uint32_t S = 0; S < kAll; ++S) {
            if (S & bi) continue;
            const int s = std::popcount(S);
            phi += fact[s] * fact[kCols - s - 1] / fact[kCols] * (v[S | bi] - v[S]);
        }
        double others = 0.0;
        for (int32_t j = 0; j < kCols; ++j) {
            if (j == i) continue;
            const uint32_t bj = 1u << j;
            double index = 0.0;
            for (uint32_t S = 0; S < kAll; ++S) {
                if (S & (bi | bj)) continue;
                const int s = std::popcount(S);
                index += fact[s] * fact[kCols - s - 2] / fact[kCols - 1] *
                         (v[S | bi | bj] - v[S | bi] - v[S | bj] + v[S]);
            }
            m[i * kWidth + j] = 0.5 * index;
            others += 0.5 * index;
        }
        m[i * kWidth + i] = phi - others;
    }
    m[kBlock - 1] = v[0];
    return m;
}

std::vector<double> run(const Booster& b, const NodeCovers& covers, const std::vector<double>& x,
                        int32_t n_trees = kAllTrees) {
    const auto rows = static_cast<int32_t>(x.size() / kCols);
    std::vector<double> out(static_cast<size_t>(rows) * b.model.n_outputs * kBlock, -7.0);
    interaction_values(b.model, covers, MatrixView{x.data(), rows, kCols}, out.data(), n_trees);
    return out;
}

}  // namespace

// Repeated columns on a path, missing values, uncounted leaves, shallow leaves and
// multiclass leaves: every entry equals the definition over all 2^5 coalitions.
TEST(Interaction, EqualsBruteForceOverEveryCoalition) {
    std::mt19937 gen(17);
    for (int32_t outputs : {1, 3}) {
        for (int trial = 0; trial < 12; ++trial) {
            NodeCovers covers;
            const Booster b = random_axis_model(gen, 3, 1 + trial % 4, outputs, covers);
            const std::vector<double> x = random_matrix(gen, 6, kCols, 0.2);
            const std::vector<double> fast = run(b, covers, x);
            for (int64_t r = 0; r < 6; ++r) {
                for (int32_t k = 0; k < outputs; ++k) {
                    const std::vector<double> ref = brute_force(b, covers, &x[r * kCols], k);
                    const double* got = &fast[(r * outputs + k) * kBlock];
                    for (int32_t e = 0; e < kBlock; ++e) {
                        ASSERT_NEAR(got[e], ref[e], 1e-9 * (1.0 + std::fabs(ref[e])))
                            << "outputs " << outputs << " trial " << trial << " row " << r
                            << " entry (" << e / kWidth << ", " << e % kWidth << ")";
                    }
                }
            }
        }
    }
}

// On trees deeper than brute force reaches: the matrix is symmetric, each row sums to the
// Shapley value of shap_values, the whole block to the raw score; the leading trees alone
// explain the truncated score.
TEST(Interaction, RowsSumToShapleyValuesAndBlocksToRawScores) {
    std::mt19937 gen(3);
    for (int32_t outputs : {1, 4}) {
        NodeCovers covers;
        const Booster b = random_axis_model(gen, 20, 8, outputs, covers);
        const std::vector<double> x = random_matrix(gen, 200, kCols, 0.15);
        const MatrixView view{x.data(), 200, kCols};
        for (int32_t n_trees : {kAllTrees, 7}) {
            const std::vector<double> m = run(b, covers, x, n_trees);
            std::vector<double> phi(200 * static_cast<size_t>(outputs) * kWidth);
            shap_values(b.model, covers, view, phi.data(), n_trees);
            std::vector<double> raw(200 * static_cast<size_t>(outputs));
            predict_scores(b.model, view, raw.data(), n_trees);
            for (size_t blk = 0; blk < raw.size(); ++blk) {
                const double* block = &m[blk * kBlock];
                double total = 0.0;
                for (int32_t i = 0; i < kWidth; ++i) {
                    double row_sum = 0.0;
                    for (int32_t j = 0; j < kWidth; ++j) {
                        ASSERT_EQ(block[i * kWidth + j], block[j * kWidth + i]) << blk;
                        row_sum += block[i * kWidth + j];
                    }
                    ASSERT_NEAR(row_sum, phi[blk * kWidth + i], 1e-9) << blk << " column " << i;
                    total += row_sum;
                }
                ASSERT_NEAR(total, raw[blk], 1e-9 * std::max(1.0, std::fabs(raw[blk]))) << blk;
            }
        }
    }
}

TEST(Interaction, BitIdenticalForEveryThreadCount) {
    std::mt19937 gen(8);
    NodeCovers covers;
    const Booster b = random_axis_model(gen, 25, 6, 1, covers);
    const std::vector<double> x = random_matrix(gen, 400, kCols, 0.1);
    EXPECT_TRUE(same_on_one_and_three_threads([&] { return run(b, covers, x); }));
}

// A pair split that reads two columns is refused; one whose two columns are the same
// reads a single column and is accepted.
TEST(Interaction, RefusesSplitsReadingSeveralColumns) {
    Booster b = default_booster();
    b.model.trees.push_back(
        {split_node(kLinearPair, 0, 1, 0, 1.0, 1.0, 0.0, 1, 2), leaf(1.0), leaf(2.0)});
    b.model.refresh_facts();
    const NodeCovers covers{{2.0, 1.0, 1.0}};
    const std::vector<double> x{0.3, 0.4};
    std::vector<double> out(9, 0.0);
    EXPECT_THROW(interaction_values(b.model, covers, MatrixView{x.data(), 1, 2}, out.data()),
                 std::invalid_argument);
    b.model.trees[0][0].feature_b = 0;
    b.model.refresh_facts();
    interaction_values(b.model, covers, MatrixView{x.data(), 1, 2}, out.data());
    double raw = 0.0;
    predict_scores(b.model, MatrixView{x.data(), 1, 2}, &raw);
    EXPECT_NE(out[0], 0.0);
    EXPECT_NEAR(out[0] + out[8], raw, 1e-12);
}
