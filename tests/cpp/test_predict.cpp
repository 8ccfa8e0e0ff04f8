#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "model/predict.hpp"
#include "model/routing.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// The obvious per-row reference: start value, then one addition per tree in order.
std::vector<double> naive_scores(const Booster& b, const std::vector<double>& x, int32_t cols) {
    const int64_t rows = static_cast<int64_t>(x.size()) / cols;
    std::vector<double> out(rows);
    for (int64_t r = 0; r < rows; ++r) {
        double s = b.model.base_score;
        for (const Tree& t : b.model.trees) {
            s = t[find_leaf(t, x.data() + r * cols, b.model.projections)].value *
                    b.model.learning_rate +
                s;
        }
        out[r] = s;
    }
    return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    // memcmp must not see the null data() of an empty vector.
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

}  // namespace

TEST(Predict, MatchesNaiveReferenceAcrossRowCountsAndThreads) {
    std::mt19937 gen(3);
    Booster b = default_booster();
    b.model.base_score = 0.25;
    for (int t = 0; t < 7; ++t) b.model.trees.push_back(random_tree(gen, 1 + t % 4, 5));
    for (int64_t rows : {0, 1, 3, 5, 2000, 2001, 5003}) {
        std::vector<double> x = random_matrix(gen, rows, 5, 0.1);
        const MatrixView view{x.data(), static_cast<int32_t>(rows), 5};
        const std::vector<double> expected = naive_scores(b, x, 5);
        for (int threads : {1, 2, 3}) {
            omp_set_num_threads(threads);
            std::vector<double> got(rows);
            predict_scores(b.model, view, got.data());
            EXPECT_TRUE(same_bits(got, expected)) << rows << " rows, " << threads << " threads";
        }
    }
    omp_set_num_threads(2);
}

TEST(Predict, Rows2000And2001Agree) {
    std::mt19937 gen(5);
    Booster b = default_booster();
    for (int t = 0; t < 5; ++t) b.model.trees.push_back(random_tree(gen, 3, 4));
    std::vector<double> x = random_matrix(gen, 2001, 4, 0.05);
    std::vector<double> small(2000), large(2001);
    predict_scores(b.model, MatrixView{x.data(), 2000, 4}, small.data());
    predict_scores(b.model, MatrixView{x.data(), 2001, 4}, large.data());
    EXPECT_EQ(std::memcmp(small.data(), large.data(), 2000 * 8), 0);
}

TEST(Predict, ClipAndLogistic) {
    Booster b = default_booster();
    b.params.clip = b.model.clip = 1;
    b.model.clip_low = 1.0;
    b.model.clip_high = 3.0;
    b.params.learning_rate = b.model.learning_rate = 1.0;
    Tree t(3);
    t[0] = split_node(kAxis, 0, -1, 0.0, 0, 0, 0, 1, 2);
    t[1] = leaf(0.5);
    t[2] = leaf(7.0);
    b.model.trees.push_back(t);
    std::vector<double> x{-1.0, 1.0};
    std::vector<double> raw(2);
    predict_raw(b.model, MatrixView{x.data(), 2, 1}, raw.data());
    EXPECT_EQ(raw[0], 1.0);
    EXPECT_EQ(raw[1], 3.0);
    std::vector<double> proba(4);
    predict_proba(b.model, MatrixView{x.data(), 2, 1}, proba.data());
    EXPECT_DOUBLE_EQ(proba[1], 1.0 / (std::exp(-0.5) + 1.0));  // unclipped score
    EXPECT_DOUBLE_EQ(proba[0] + proba[1], 1.0);
    b.model.trees[0][1].value = kNaN;
    predict_raw(b.model, MatrixView{x.data(), 2, 1}, raw.data());
    EXPECT_TRUE(std::isnan(raw[0]));
}

TEST(Predict, SoftmaxShiftsByMaximum) {
    double scores[3] = {1000.0, 1000.0, 0.0};
    double p[3];
    softmax_row(scores, 3, p);
    EXPECT_DOUBLE_EQ(p[0], 0.5);
    EXPECT_DOUBLE_EQ(p[1], 0.5);
    EXPECT_EQ(p[2], 0.0);
}

TEST(Predict, MulticlassLeafValuesAndBaseScores) {
    Booster b = default_booster();
    b.params.objective = b.model.objective = kMulticlass;
    b.model.n_outputs = 3;
    b.params.learning_rate = b.model.learning_rate = 0.5;
    b.model.base_scores = {1.0, 2.0, 3.0};
    Tree t(1);
    t[0].leaf_values = {2.0, 0.0, -2.0};
    b.model.trees.push_back(t);
    Tree wrong(1);
    wrong[0].leaf_values = {100.0};  // wrong length: adds nothing
    b.model.trees.push_back(wrong);
    std::vector<double> x{0.0};
    std::vector<double> out(3);
    predict_scores(b.model, MatrixView{x.data(), 1, 1}, out.data());
    EXPECT_EQ(out, (std::vector<double>{2.0, 2.0, 2.0}));
    b.model.base_scores = {1.0};  // length differs from n_outputs: start at 0
    predict_scores(b.model, MatrixView{x.data(), 1, 1}, out.data());
    EXPECT_EQ(out, (std::vector<double>{1.0, 0.0, -1.0}));
}

TEST(Predict, EmptyEnsemblePredictsStartScore) {
    Booster b = default_booster();
    b.model.base_score = -0.75;
    std::vector<double> x{1.0, 2.0};
    std::vector<double> out(2);
    predict_scores(b.model, MatrixView{x.data(), 2, 1}, out.data());
    EXPECT_EQ(out[0], -0.75);
    EXPECT_EQ(out[1], -0.75);
}

TEST(Predict, PackedTreesRouteLikeTheNodesForEveryTest) {
    std::mt19937 gen(13);
    Booster b = default_booster();
    b.model.projections = {{0.6, 0.0, -0.8, 0.0}};
    for (int t = 0; t < 6; ++t) b.model.trees.push_back(random_tree(gen, 3, 4));
    // A tree mixing a categorical pair, a projection, and missing values sent left.
    Tree mixed(7);
    mixed[0] = split_node(kCategoryPair, 3, 1, 0, 1.0, 0.5, -0.25, 1, 4);
    mixed[0].category_values = {-1.0, 0.0, 1.0};
    mixed[1] = split_node(kAxis, 2, -1, 0.1, 0, 0, 0, 2, 3);
    mixed[1].missing_right = 0;
    mixed[2] = leaf(1.0);
    mixed[3] = leaf(2.0);
    mixed[4] = split_node(kNoSplit, -1, -1, 0, 0, 0, 0.05, 5, 6);
    mixed[4].projection = 0;
    mixed[5] = leaf(3.0);
    mixed[6] = leaf(4.0);
    b.model.trees.push_back(mixed);
    b.model.trees.push_back(Tree(1, leaf(0.5)));
    b.model.refresh_facts();
    ASSERT_EQ(b.model.packed.size(), b.model.trees.size());
    std::vector<double> x = random_matrix(gen, 3001, 4, 0.15);
    for (int64_t r = 0; r < 3001; ++r) x[r * 4 + 3] = static_cast<double>(gen() % 5) - 1.0;
    std::vector<double> got(3001);
    predict_scores(b.model, MatrixView{x.data(), 3001, 4}, got.data());
    EXPECT_TRUE(same_bits(got, naive_scores(b, x, 4)));
}
