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
    compute_base_score(b.model, b.params, {}, zeros.data(), 4);
    EXPECT_DOUBLE_EQ(b.model.base_score, std::log(1e-6 / (1 - 1e-6)));
    compute_base_score(b.model, b.params, {}, ones.data(), 4);
    EXPECT_DOUBLE_EQ(b.model.base_score, std::log(0.999999 / (1 - 0.999999)));
    EXPECT_EQ(b.model.clip_low, 1.0);
    EXPECT_EQ(b.model.n_outputs, 1);
}

TEST(BaseScore, MulticlassLogPriors) {
    Booster b = default_booster();
    b.params.objective = b.model.objective = kMulticlass;
    std::vector<double> y{0, 2, 2};
    compute_base_score(b.model, b.params, {}, y.data(), 3);
    ASSERT_EQ(b.model.n_outputs, 3);
    EXPECT_DOUBLE_EQ(b.model.base_scores[0], std::log(1.001 / 3.003));
    EXPECT_DOUBLE_EQ(b.model.base_scores[1], std::log(0.001 / 3.003));
    EXPECT_DOUBLE_EQ(b.model.base_scores[2], std::log(2.001 / 3.003));
    EXPECT_EQ(b.model.base_score, 0.0);
}

TEST(BaseScore, RobustLossesStartAtTheUpperMedianWhateverTheWeights) {
    std::vector<double> y{5, 1, 3, 2};
    for (int loss : {kHuber, kQuantile}) {
        Booster b = default_booster();
        b.params.objective = b.model.objective = kRegression;
        b.params.loss = static_cast<Loss>(loss);
        compute_base_score(b.model, b.params, {100, 0, 0, 0}, y.data(), 4);
        EXPECT_EQ(b.model.base_score, 3.0);
    }
    Booster sq = default_booster();
    sq.params.objective = sq.model.objective = kRegression;
    compute_base_score(sq.model, sq.params, {1, 0, 0, 3}, y.data(), 4);
    EXPECT_DOUBLE_EQ(sq.model.base_score, (5.0 + 6.0) / 4.0);
    // No weight at all: the undivided sum.
    compute_base_score(sq.model, sq.params, {0, 0, 0, 0}, y.data(), 4);
    EXPECT_EQ(sq.model.base_score, 0.0);
}

TEST(Gradients, EveryObjectiveWithWeights) {
    std::vector<double> abs;
    std::vector<double> y{1.0, 0.0, 0.0};
    std::vector<double> f{0.3, -2.0, 5.0};
    std::vector<double> g(3), h(3);
    Booster bin = default_booster();
    const std::vector<double> weights{2.0, 1.0, 0.5};
    compute_gradients(bin.params, 1, weights, f.data(), y.data(), 3, g.data(), h.data(), abs);
    for (int i = 0; i < 3; ++i) {
        const double p = 1.0 / (std::exp(-f[i]) + 1.0);
        EXPECT_DOUBLE_EQ(g[i], (p - y[i]) * weights[i]);
        EXPECT_DOUBLE_EQ(h[i], p * (1 - p) * weights[i]);
    }
    Booster q = default_booster();
    q.params.objective = q.model.objective = kRegression;
    q.params.loss = kQuantile;
    q.params.alpha = 0.8;
    compute_gradients(q.params, 1, {}, f.data(), y.data(), 3, g.data(), h.data(), abs);
    EXPECT_DOUBLE_EQ(g[0], -0.8);  // y above the score
    EXPECT_DOUBLE_EQ(g[1], -0.8);
    EXPECT_DOUBLE_EQ(g[2], 1.0 - 0.8);  // y below the score
    EXPECT_EQ(h[2], 1.0);
}

TEST(Gradients, HuberThresholdIsTheAlphaQuantileOfResiduals) {
    Booster b = default_booster();
    b.params.objective = b.model.objective = kRegression;
    b.params.loss = kHuber;
    b.params.alpha = 0.5;
    std::vector<double> y{0, 0, 0, 0, 0};
    std::vector<double> f{1, -2, 3, -4, 5};  // |r| sorted: 1 2 3 4 5; position 2 -> 3
    std::vector<double> g(5), h(5), abs;
    compute_gradients(b.params, 1, {}, f.data(), y.data(), 5, g.data(), h.data(), abs);
    EXPECT_EQ(g, (std::vector<double>{1, -2, 3, -3, 3}));
    b.params.alpha = 0.0;
    std::vector<double> f0{0, 7, -7, 1, 2};  // smallest residual is 0: delta 1e-12
    compute_gradients(b.params, 1, {}, f0.data(), y.data(), 5, g.data(), h.data(), abs);
    for (double v : g) EXPECT_LE(std::fabs(v), 1e-12);
}

TEST(Gradients, SoftmaxRowsAndOutOfRangeClasses) {
    Booster b = default_booster();
    b.params.objective = b.model.objective = kMulticlass;
    b.model.n_outputs = 3;
    std::vector<double> f{1000.0, 1000.0, 0.0, 0.0, 0.0, 0.0};
    std::vector<double> y{1.0, 7.0};  // class 7 does not exist: every gradient is p_k
    std::vector<double> g(6), h(6), abs;
    compute_gradients(b.params, 3, {}, f.data(), y.data(), 2, g.data(), h.data(), abs);
    EXPECT_DOUBLE_EQ(g[0], 0.5);
    EXPECT_DOUBLE_EQ(g[1], -0.5);
    EXPECT_EQ(g[2], 0.0);
    EXPECT_DOUBLE_EQ(h[0], 0.25);
    for (int k = 3; k < 6; ++k) EXPECT_DOUBLE_EQ(g[k], 1.0 / 3.0);
}

TEST(QuantileRefit, LeavesTakeResidualQuantiles) {
    Booster b = default_booster();
    b.params.objective = b.model.objective = kRegression;
    b.params.loss = kQuantile;
    b.params.alpha = 0.5;
    Tree t(3);
    t[0] = split_node(kAxis, 0, -1, 0.5, 0, 0, 0, 1, 2);
    t[1] = leaf(9.0);
    t[2] = leaf(9.0);
    Tree unreached = t;
    std::vector<double> x{0, 0, 0, 1, 1};
    std::vector<double> y{4, -1, 2, 4, -1};
    std::vector<double> scores(5, 0.0);
    std::vector<int32_t> bag{0, 1, 2, 3, 4};
    refit_quantile_leaves(b.params.alpha, {}, t, bag.data(), 5, MatrixView{x.data(), 5, 1},
                          y.data(), scores.data());
    EXPECT_EQ(t[1].value, 2.0);  // {4, -1, 2}
    EXPECT_EQ(t[2].value, 4.0);  // {4, -1}: position floor(0.5 + 0.5) = 1
    std::vector<int32_t> left_only{0, 1};
    refit_quantile_leaves(b.params.alpha, {}, unreached, left_only.data(), 2,
                          MatrixView{x.data(), 5, 1}, y.data(), scores.data());
    EXPECT_EQ(unreached[2].value, 9.0);  // no bag row: keeps the builder's value
}

TEST(ValidationLoss, ClampsProbabilities) {
    const double score = 1000.0;
    EXPECT_DOUBLE_EQ(validation_loss(kBinary, 1, {0.0}, &score), -std::log(1.0 - 0.999999999999));
    EXPECT_EQ(validation_loss(kRegression, 1, {3.0}, &score), 997.0 * 997.0);
    const double scores[2] = {0.0, -2000.0};
    EXPECT_DOUBLE_EQ(validation_loss(kMulticlass, 2, {1.0}, scores), -std::log(1e-12));
}
