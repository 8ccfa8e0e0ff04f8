#include <gtest/gtest.h>

#include <vector>

#include "booster_fixtures.hpp"

using namespace vorlent;
using namespace vorlent::testing;

TEST(BoosterState, FreshBooster) {
    Booster b = default_booster();
    EXPECT_EQ(b.n_trees(), 0);
    EXPECT_EQ(b.best_iteration, -1);
    EXPECT_EQ(b.n_outputs, 1);
    EXPECT_EQ(b.hist_bins, 64);
    EXPECT_EQ(b.es_tol, 1e-4);
    Rng reference(5489);
    EXPECT_EQ(b.rng(), reference());
}

TEST(BoosterState, FeatureScale) {
    Booster b = default_booster();
    // Columns: single value, all NaN, constant 2.0, (1, 3), (0, NaN, 4).
    const std::vector<double> x{
        5.0, kNaN, 2.0, 1.0, 0.0,   //
        kNaN, kNaN, 2.0, 3.0, kNaN,  //
        kNaN, kNaN, 2.0, kNaN, 4.0,
    };
    b.compute_feature_scale(MatrixView{x.data(), 3, 5});
    EXPECT_EQ(b.feature_scale, (std::vector<double>{1.0, 1.0, 1e-12, 1.0, 2.0}));
}

TEST(BoosterState, SampleWeightsNeedOnePerRow) {
    Booster b = default_booster();
    const std::vector<double> w{1.0, 2.0, 3.0};
    b.load_sample_weights(w.data(), 3, 3);
    EXPECT_EQ(b.sample_weights, w);
    b.load_sample_weights(w.data(), 3, 4);
    EXPECT_TRUE(b.sample_weights.empty());
}
