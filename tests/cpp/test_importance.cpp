#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "model/importance.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

Booster trained_shape(int32_t n_features) {
    Booster b = default_booster();
    b.model.n_features = n_features;
    b.model.importances.feature_gain.assign(n_features, 0.0);
    b.model.importances.coefficient_gain.assign(n_features, 0.0);
    return b;
}

std::vector<double> normalise(const std::vector<double>& gain, size_t out_count) {
    std::vector<double> out(out_count, -1.0);
    normalise_gains(gain.data(), gain.size(), out.data(), out_count);
    return out;
}

}  // namespace

TEST(Importance, NormaliseMatchesNaiveSumAndDivide) {
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(0.0, 5.0);
    for (size_t n : {1, 2, 7, 64}) {
        std::vector<double> gain(n);
        for (double& g : gain) g = u(gen);
        double total = 0.0;
        for (double g : gain) total += g;
        const std::vector<double> got = normalise(gain, n);
        double sum = 0.0;
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(got[i], gain[i] / total);
            sum += got[i];
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
    }
}

TEST(Importance, NormaliseWithoutPositiveTotalGivesZeros) {
    EXPECT_EQ(normalise({0.0, 0.0, 0.0}, 3), (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(normalise({1.0, kNaN, 2.0}, 3), (std::vector<double>{0.0, 0.0, 0.0}));
    EXPECT_EQ(normalise({1.0, -3.0}, 2), (std::vector<double>{0.0, 0.0}));
    EXPECT_TRUE(normalise({}, 0).empty());
    // A negative entry is allowed as long as the total is positive.
    EXPECT_EQ(normalise({3.0, -1.0}, 2), (std::vector<double>{1.5, -0.5}));
}

TEST(Importance, NormaliseIntoAnotherSizeUsesTheWholeTotal) {
    // The total covers every accumulator entry, whatever fits into the output.
    EXPECT_EQ(normalise({1.0, 1.0, 2.0}, 2), (std::vector<double>{0.25, 0.25}));
    EXPECT_EQ(normalise({1.0, 3.0}, 4), (std::vector<double>{0.25, 0.75, 0.0, 0.0}));
    EXPECT_EQ(normalise({0.0, 0.0}, 3), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(Importance, ObliqueSplitCreditsBothColumnsAndOneInteractionPair) {
    Booster b = trained_shape(6);
    Node n = split_node(kLinearPair, 2, 5, 0.0, 0.5, -2.0, 0.1, 1, 2);
    n.gain = 3.0;
    credit_split(b.model.importances, b.model.n_features, n);
    EXPECT_EQ(b.model.importances.feature_gain, (std::vector<double>{0, 0, 3.0, 0, 0, 3.0}));
    EXPECT_EQ(b.model.importances.coefficient_gain, (std::vector<double>{0, 0, 1.5, 0, 0, 6.0}));
    EXPECT_EQ(b.model.importances.interaction_gain.sorted(), (std::vector<PairGain>{{2, 5, 3.0}}));
}

TEST(Importance, AxisSplitCreditsOneColumnAndNoInteraction) {
    Booster b = trained_shape(3);
    Node n = split_node(kAxis, 1, -1, 0.5, 0.0, 0.0, 0.0, 1, 2);
    n.gain = 2.5;
    credit_split(b.model.importances, b.model.n_features, n);
    credit_split(b.model.importances, b.model.n_features, n);
    EXPECT_EQ(b.model.importances.feature_gain, (std::vector<double>{0, 5.0, 0}));
    EXPECT_EQ(b.model.importances.coefficient_gain, b.model.importances.feature_gain);
    EXPECT_TRUE(b.model.importances.interaction_gain.empty());
}

TEST(Importance, PairSplitWithAZeroCoefficientCreditsNoPair) {
    Booster b = trained_shape(3);
    Node n = split_node(kLinearPair, 0, 2, 0.0, 0.0, -1.0, 0.1, 1, 2);
    n.gain = 2.0;
    credit_split(b.model.importances, b.model.n_features, n);
    EXPECT_EQ(b.model.importances.coefficient_gain, (std::vector<double>{0, 0, 2.0}));
    EXPECT_TRUE(b.model.importances.interaction_gain.empty());
}

TEST(Importance, CategoryPairFillsTheOrderedCellOnly) {
    // The categorical column is feature_a and may be the larger index.
    Booster b = trained_shape(4);
    Node n = split_node(kCategoryPair, 3, 1, 0.0, 1.0, 0.25, 0.0, 1, 2);
    n.gain = 4.0;
    credit_split(b.model.importances, b.model.n_features, n);
    EXPECT_EQ(b.model.importances.feature_gain, (std::vector<double>{0, 4.0, 0, 4.0}));
    EXPECT_EQ(b.model.importances.coefficient_gain, (std::vector<double>{0, 1.0, 0, 4.0}));
    EXPECT_EQ(b.model.importances.interaction_gain.sorted(), (std::vector<PairGain>{{3, 1, 1.0}}));
}

TEST(Importance, ProjectionCreditsEveryNonZeroDirectionEntry) {
    Booster b = trained_shape(4);
    const std::vector<double> d{0.6, 0.0, -0.8, 0.0};
    credit_projection(b.model.importances, d, 5.0);
    EXPECT_EQ(b.model.importances.feature_gain,
              (std::vector<double>{0.6 * 5.0, 0.0, 0.8 * 5.0, 0.0}));
    EXPECT_EQ(b.model.importances.coefficient_gain, b.model.importances.feature_gain);
    EXPECT_TRUE(b.model.importances.interaction_gain.empty());
}

TEST(Importance, RandomSplitsMatchNaiveAccumulation) {
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    std::uniform_int_distribution<int32_t> col(0, 4);
    Booster b = trained_shape(5);
    std::vector<double> fg(5, 0.0), cg(5, 0.0), ig(25, 0.0);
    for (int s = 0; s < 200; ++s) {
        const int32_t kind = 1 + static_cast<int32_t>(gen() % 3);
        const int32_t fa = col(gen);
        const int32_t fb = kind == kAxis ? -1 : col(gen);
        Node n = split_node(kind, fa, fb, u(gen), kind == kCategoryPair ? 1.0 : u(gen), u(gen),
                            u(gen), 1, 2);
        n.gain = std::fabs(u(gen)) + 1e-3;
        credit_split(b.model.importances, b.model.n_features, n);
        const double g = n.gain;
        fg[fa] += g;
        if (kind == kAxis) {
            cg[fa] += g;
        } else {
            fg[fb] += g;
            cg[fa] += std::fabs(n.coef_a) * g;
            cg[fb] += std::fabs(n.coef_b) * g;
            ig[fa * 5 + fb] += (std::fabs(n.coef_a) * g) * std::fabs(n.coef_b);
        }
    }
    EXPECT_EQ(b.model.importances.feature_gain, fg);
    EXPECT_EQ(b.model.importances.coefficient_gain, cg);
    // Every credited cell is positive here: the pairs are the non-zero cells, row-major.
    std::vector<PairGain> cells;
    for (int32_t i = 0; i < 25; ++i) {
        if (ig[i] != 0.0) cells.push_back({i / 5, i % 5, ig[i]});
    }
    EXPECT_EQ(b.model.importances.interaction_gain.sorted(), cells);
}

TEST(Importance, AccumulatorsOfAnotherWidthAreNeverOverrun) {
    // A model continued on a wider matrix has a longer feature_gain than the others.
    Booster b = trained_shape(2);
    b.model.importances.feature_gain.assign(4, 0.0);
    Node n = split_node(kLinearPair, 1, 3, 0.0, 1.0, 1.0, 0.0, 1, 2);
    n.gain = 2.0;
    credit_split(b.model.importances, b.model.n_features, n);
    EXPECT_EQ(b.model.importances.feature_gain, (std::vector<double>{0, 2.0, 0, 2.0}));
    EXPECT_EQ(b.model.importances.coefficient_gain, (std::vector<double>{0, 2.0}));
    EXPECT_TRUE(b.model.importances.interaction_gain.empty());
    credit_projection(b.model.importances, {0.0, 0.0, 1.0, 0.0}, 1.0);
    EXPECT_EQ(b.model.importances.feature_gain[2], 1.0);
    EXPECT_EQ(b.model.importances.coefficient_gain.size(), 2u);
}

TEST(Importance, NormalisedPairsAreTheCellsOfTheNormalisedDenseMatrix) {
    std::mt19937 gen(23);
    std::uniform_int_distribution<int32_t> col(0, 6);
    for (const double low : {0.0, -4.0}) {  // the second total is often not positive
        std::uniform_real_distribution<double> u(low, 2.0);
        PairGains gains;
        std::vector<double> dense(49, 0.0);
        for (int s = 0; s < 30; ++s) {
            const int32_t a = col(gen), b = col(gen);
            const double g = u(gen);
            gains.add(a, b, g);
            dense[a * 7 + b] += g;
        }
        const std::vector<double> cells = normalise(dense, 49);
        const std::vector<PairGain> pairs = normalised_pairs(gains);
        std::vector<double> scattered(49, 0.0);
        for (const PairGain& p : pairs) scattered[p.a * 7 + p.b] = p.gain;
        EXPECT_EQ(scattered, cells);
        EXPECT_EQ(pairs.size(), gains.size());
    }
}
