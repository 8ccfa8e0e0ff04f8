#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "boosting/objective.hpp"
#include "booster_fixtures.hpp"

using namespace vorlent;
using namespace vorlent::testing;

TEST(BaseScore, BinaryClampsTheMean) {
    Booster b = default_booster();
    std::vector<double> zeros(4, 0.0), ones(4, 1.0);
    compute_base_score(b, zeros.data(), 4);
    EXPECT_DOUBLE_EQ(b.base_score, std::log(1e-6 / (1 - 1e-6)));
    compute_base_score(b, ones.data(), 4);
    EXPECT_DOUBLE_EQ(b.base_score, std::log(0.999999 / (1 - 0.999999)));
    EXPECT_EQ(b.clip_low, 1.0);
    EXPECT_EQ(b.n_outputs, 1);
}

TEST(BaseScore, MulticlassLogPriors) {
    Booster b = default_booster();
    b.objective = kMulticlass;
    std::vector<double> y{0, 2, 2};
    compute_base_score(b, y.data(), 3);
    ASSERT_EQ(b.n_outputs, 3);
    EXPECT_DOUBLE_EQ(b.base_scores[0], std::log(1.001 / 3.003));
    EXPECT_DOUBLE_EQ(b.base_scores[1], std::log(0.001 / 3.003));
    EXPECT_DOUBLE_EQ(b.base_scores[2], std::log(2.001 / 3.003));
    EXPECT_EQ(b.base_score, 0.0);
}

TEST(BaseScore, RobustLossesStartAtTheUpperMedianWhateverTheWeights) {
    std::vector<double> y{5, 1, 3, 2};
    for (int loss : {kHuber, kQuantile}) {
        Booster b = default_booster();
        b.objective = kRegression;
        b.loss = loss;
        b.sample_weights = {100, 0, 0, 0};
        compute_base_score(b, y.data(), 4);
        EXPECT_EQ(b.base_score, 3.0);
    }
    Booster sq = default_booster();
    sq.objective = kRegression;
    sq.sample_weights = {1, 0, 0, 3};
    compute_base_score(sq, y.data(), 4);
    EXPECT_DOUBLE_EQ(sq.base_score, (5.0 + 6.0) / 4.0);
    sq.sample_weights = {0, 0, 0, 0};  // no weight at all: the undivided sum
    compute_base_score(sq, y.data(), 4);
    EXPECT_EQ(sq.base_score, 0.0);
}

TEST(Gradients, EveryObjectiveWithWeights) {
    std::vector<double> abs;
    std::vector<double> y{1.0, 0.0, 0.0};
    std::vector<double> f{0.3, -2.0, 5.0};
    std::vector<double> g(3), h(3);
    Booster bin = default_booster();
    bin.sample_weights = {2.0, 1.0, 0.5};
    compute_gradients(bin, f.data(), y.data(), 3, g.data(), h.data(), abs);
    for (int i = 0; i < 3; ++i) {
        const double p = 1.0 / (std::exp(-f[i]) + 1.0);
        EXPECT_DOUBLE_EQ(g[i], (p - y[i]) * bin.sample_weights[i]);
        EXPECT_DOUBLE_EQ(h[i], p * (1 - p) * bin.sample_weights[i]);
    }
    Booster q = default_booster();
    q.objective = kRegression;
    q.loss = kQuantile;
    q.alpha = 0.8;
    compute_gradients(q, f.data(), y.data(), 3, g.data(), h.data(), abs);
    EXPECT_DOUBLE_EQ(g[0], -0.8);  // y above the score
    EXPECT_DOUBLE_EQ(g[1], -0.8);
    EXPECT_DOUBLE_EQ(g[2], 1.0 - 0.8);  // y below the score
    EXPECT_EQ(h[2], 1.0);
}

TEST(Gradients, HuberThresholdIsTheAlphaQuantileOfResiduals) {
    Booster b = default_booster();
    b.objective = kRegression;
    b.loss = kHuber;
    b.alpha = 0.5;
    std::vector<double> y{0, 0, 0, 0, 0};
    std::vector<double> f{1, -2, 3, -4, 5};  // |r| sorted: 1 2 3 4 5; position 2 -> 3
    std::vector<double> g(5), h(5), abs;
    compute_gradients(b, f.data(), y.data(), 5, g.data(), h.data(), abs);
    EXPECT_EQ(g, (std::vector<double>{1, -2, 3, -3, 3}));
    b.alpha = 0.0;
    std::vector<double> f0{0, 7, -7, 1, 2};  // smallest residual is 0: delta 1e-12
    compute_gradients(b, f0.data(), y.data(), 5, g.data(), h.data(), abs);
    for (double v : g) EXPECT_LE(std::fabs(v), 1e-12);
}

TEST(Gradients, SoftmaxRowsAndOutOfRangeClasses) {
    Booster b = default_booster();
    b.objective = kMulticlass;
    b.n_outputs = 3;
    std::vector<double> f{1000.0, 1000.0, 0.0, 0.0, 0.0, 0.0};
    std::vector<double> y{1.0, 7.0};  // class 7 does not exist: every gradient is p_k
    std::vector<double> g(6), h(6), abs;
    compute_gradients(b, f.data(), y.data(), 2, g.data(), h.data(), abs);
    EXPECT_DOUBLE_EQ(g[0], 0.5);
    EXPECT_DOUBLE_EQ(g[1], -0.5);
    EXPECT_EQ(g[2], 0.0);
    EXPECT_DOUBLE_EQ(h[0], 0.25);
    for (int k = 3; k < 6; ++k) EXPECT_DOUBLE_EQ(g[k], 1.0 / 3.0);
}

TEST(QuantileRefit, LeavesTakeResidualQuantiles) {
    Booster b = default_booster();
    b.objective = kRegression;
    b.loss = kQuantile;
    b.alpha = 0.5;
    Tree t(3);
    t[0] = split_node(kAxis, 0, -1, 0.5, 0, 0, 0, 1, 2);
    t[1] = leaf(9.0);
    t[2] = leaf(9.0);
    Tree unreached = t;
    std::vector<double> x{0, 0, 0, 1, 1};
    std::vector<double> y{4, -1, 2, 4, -1};
    std::vector<double> scores(5, 0.0);
    std::vector<int32_t> bag{0, 1, 2, 3, 4};
    refit_quantile_leaves(b, t, bag.data(), 5, MatrixView{x.data(), 5, 1}, y.data(), scores.data());
    EXPECT_EQ(t[1].value, 2.0);  // {4, -1, 2}
    EXPECT_EQ(t[2].value, 4.0);  // {4, -1}: position floor(0.5 + 0.5) = 1
    std::vector<int32_t> left_only{0, 1};
    refit_quantile_leaves(b, unreached, left_only.data(), 2, MatrixView{x.data(), 5, 1}, y.data(),
                          scores.data());
    EXPECT_EQ(unreached[2].value, 9.0);  // no bag row: keeps the builder's value
}

TEST(ValidationLoss, ClampsProbabilities) {
    Booster b = default_booster();
    b.n_val = 1;
    b.y_val = {0.0};
    const double score = 1000.0;
    EXPECT_DOUBLE_EQ(validation_loss(b, &score), -std::log(1.0 - 0.999999999999));
    b.objective = kRegression;
    b.y_val = {3.0};
    EXPECT_EQ(validation_loss(b, &score), 997.0 * 997.0);
    b.objective = kMulticlass;
    b.n_outputs = 2;
    b.y_val = {1.0};
    const double scores[2] = {0.0, -2000.0};
    EXPECT_DOUBLE_EQ(validation_loss(b, scores), -std::log(1e-12));
}
