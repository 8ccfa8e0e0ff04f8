#include <gtest/gtest.h>

#include <vector>

#include "booster_fixtures.hpp"

using namespace vorlent;
using namespace vorlent::testing;

TEST(BoosterState, FreshBooster) {
    Booster b = default_booster();
    EXPECT_EQ(b.n_trees(), 0);
    EXPECT_EQ(b.best_iteration, -1);
    EXPECT_EQ(b.model.n_outputs, 1);
    // The model's bytes carry these parameters even before any training.
    EXPECT_EQ(b.model.learning_rate, b.params.learning_rate);
    EXPECT_EQ(b.model.objective, b.params.objective);
    EXPECT_EQ(b.model.clip, b.params.clip);
    EXPECT_EQ(tree_params_of(b).hist_bins, 64);
    Rng reference(5489);
    EXPECT_EQ(b.rng(), reference());
}

TEST(BoosterState, FeatureScale) {
    // Columns: single value, all NaN, constant 2.0, (1, 3), (0, NaN, 4).
    const std::vector<double> x{
        5.0, kNaN, 2.0, 1.0, 0.0,   //
        kNaN, kNaN, 2.0, 3.0, kNaN,  //
        kNaN, kNaN, 2.0, kNaN, 4.0,
    };
    EXPECT_EQ(column_scales(MatrixView{x.data(), 3, 5}),
              (std::vector<double>{1.0, 1.0, 1e-12, 1.0, 2.0}));
}

TEST(BoosterState, SampleWeightsNeedOnePerRow) {
    const std::vector<double> w{1.0, 2.0, 3.0};
    EXPECT_EQ(row_weights(w.data(), 3, 3), w);
    EXPECT_TRUE(row_weights(w.data(), 3, 4).empty());
}
