#pragma once
#include <cstdint>
#include <vector>

namespace vorlent {

// Split kinds of a node whose projection is -1.
enum SplitKind : int32_t { kNoSplit = 0, kAxis = 1, kLinearPair = 2, kCategoryPair = 3 };

// One tree node. A fresh node is a leaf with these defaults; both builders start from it.
struct Node {
    bool is_leaf = true;
    double value = 0.0;      // Newton value, without the learning rate
    int32_t kind = kNoSplit;  // test of an internal node without a projection
    int32_t feature_a = -1;   // first (or only) column; the category column of kind 3
    int32_t feature_b = -1;   // second column; the numeric column of kind 3
    double threshold = 0.0;   // kind 1 cut value: a row goes left when x < threshold
    double coef_a = 0.0;      // kind 2 coefficient of feature_a; 1.0 in kind 3
    double coef_b = 0.0;      // kinds 2 and 3: coefficient (slope) of feature_b
    double bias = 0.0;        // constant term of pair and projection tests
    int32_t left = -1;
    int32_t right = -1;
    int32_t missing_right = 0;  // 1: a row missing a needed value goes right
    double gain = 0.0;          // gain of the committed split
    int32_t projection = -1;    // index into the ensemble's projections, -1 for none
    std::vector<double> leaf_values;      // multiclass leaves: one value per output
    std::vector<double> category_values;  // kind 3: offset per category code
};

// A tree is stored in depth-first preorder; node 0 is the root.
using Tree = std::vector<Node>;
using Directions = std::vector<std::vector<double>>;

}  // namespace vorlent
