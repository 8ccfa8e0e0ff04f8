#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/routing.hpp"

using namespace vorlent;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();

Node axis(int32_t feature, double threshold, int32_t missing_right) {
    Node n;
    n.is_leaf = false;
    n.kind = kAxis;
    n.feature_a = feature;
    n.threshold = threshold;
    n.missing_right = missing_right;
    n.left = 1;
    n.right = 2;
    return n;
}
}  // namespace

TEST(Routing, AxisThresholdAndMissing) {
    const Directions none;
    Node n = axis(0, 2.5, 1);
    double row[1] = {2.5};
    EXPECT_TRUE(goes_right(n, row, none));
    row[0] = 2.4999;
    EXPECT_FALSE(goes_right(n, row, none));
    row[0] = kNaN;
    EXPECT_TRUE(goes_right(n, row, none));
    n.missing_right = 0;
    EXPECT_FALSE(goes_right(n, row, none));
}

TEST(Routing, CategoryPairTruncatesCodes) {
    const Directions none;
    Node n;
    n.is_leaf = false;
    n.kind = kCategoryPair;
    n.feature_a = 0;
    n.feature_b = 1;
    n.coef_a = 1.0;
    n.coef_b = 0.0;
    n.bias = -0.5;  // left exactly when the category's offset is below 0.5
    n.missing_right = 1;
    auto right = [&](double code) {
        double row[2] = {code, 0.0};
        return goes_right(n, row, none);
    };
    n.category_values = {1.0, 0.0, 1.0};
    EXPECT_TRUE(right(2.9));    // entry 2
    EXPECT_TRUE(right(-0.5));   // truncates to 0
    EXPECT_FALSE(right(-1.0));  // out of range: 0.0
    EXPECT_FALSE(right(3.0));   // out of range: 0.0
    EXPECT_FALSE(right(1.0));
    EXPECT_FALSE(right(1e300));  // not representable: out of range
    double row[2] = {1.0, kNaN};
    EXPECT_TRUE(goes_right(n, row, none));
}

TEST(Routing, PairSumZeroGoesRight) {
    const Directions none;
    Node n;
    n.is_leaf = false;
    n.kind = kLinearPair;
    n.feature_a = 0;
    n.feature_b = 1;
    n.coef_a = 2.0;
    n.coef_b = -1.0;
    n.bias = 0.0;
    double row[2] = {1.0, 2.0};
    EXPECT_TRUE(goes_right(n, row, none));
    row[1] = 2.5;
    EXPECT_FALSE(goes_right(n, row, none));
}

TEST(Routing, ProjectionSkipsZeroEntries) {
    Directions dirs{{0.6, 0.0, 0.8}};
    Node n;
    n.is_leaf = false;
    n.projection = 0;
    n.bias = -1.0;
    n.missing_right = 0;
    double row[3] = {1.0, kNaN, 1.0};  // NaN in a zero entry is ignored: 0.6 + 0.8 - 1 > 0
    EXPECT_TRUE(goes_right(n, row, dirs));
    row[0] = kNaN;
    EXPECT_FALSE(goes_right(n, row, dirs));  // missing_right 0
    Directions zeros{{0.0, 0.0, 0.0}};
    EXPECT_FALSE(goes_right(n, row, zeros));  // s = bias = -1 < 0
}

TEST(Routing, FindLeafAndRequiredColumns) {
    Tree tree(3);
    tree[0] = axis(4, 0.0, 1);
    double row[5] = {0, 0, 0, 0, -1.0};
    EXPECT_EQ(find_leaf(tree, row, {}), 1);
    row[4] = 1.0;
    EXPECT_EQ(find_leaf(tree, row, {}), 2);
    Tree single(1);
    EXPECT_EQ(find_leaf(single, row, {}), 0);
    EXPECT_EQ(required_columns({single}, {}), 0);
    EXPECT_EQ(required_columns({single, tree}, {}), 5);
    Tree proj(3);
    proj[0] = axis(0, 0.0, 1);
    proj[0].projection = 0;
    EXPECT_EQ(required_columns({proj}, {{0.0, 1.0, 0.0, 0.0}}), 2);
}

TEST(Routing, TreeDepthCountsInternalNodesOnTheLongestPath) {
    Tree tree(5);
    tree[0] = axis(0, 0.0, 1);  // children 1, 2
    tree[2] = axis(0, 1.0, 1);
    tree[2].left = 3;
    tree[2].right = 4;
    EXPECT_EQ(tree_depth(tree), 2);
    EXPECT_EQ(tree_depth(Tree(1)), 0);
}
