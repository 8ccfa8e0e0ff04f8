#pragma once
#include <cstdint>
#include <vector>

#include "boosting/booster.hpp"
#include "boosting/params.hpp"
#include "common/matrix.hpp"
#include "model/model.hpp"
#include "tree/tree_params.hpp"

namespace vorlent {

// The state of one training call (fit or fit_more) that outlives none of it: the rows'
// weights, the validation rows and the parameters the tree builders read. Early stopping's
// settings and the round loop's gradients, bag and scores live in the loop itself.
struct FitState {
    std::vector<double> sample_weights;  // empty: every row weighs 1
    std::vector<double> X_val;           // n_val rows of the model's columns, row-major
    std::vector<double> y_val;
    int32_t n_val = 0;
    TreeParams tree;
};

// The weights of a training call: a copy when there is one per row; otherwise training is
// unweighted (empty).
std::vector<double> row_weights(const double* weights, int64_t count, int64_t n_rows);

// Population standard deviation of every column over its non-missing values, floored at
// 1e-12; 1.0 for a column with fewer than two values.
std::vector<double> column_scales(const MatrixView& X);

// What the tree builders read in a call that trains `model` with parameters p: p's
// tree-shaping parameters, the model's outputs, the training columns' scales
// (column_scales) and the search's environment switches (read here, once per call).
TreeParams tree_params(const BoosterParams& p, const Model& model,
                       std::vector<double> feature_scale);

// The model a new fit starts from: the parameters' copies, and the previous model's start
// scores, which a single-output start leaves as they were.
Model new_model(const BoosterParams& p, const Model& previous);

// Once the new model's start is decided: the model takes n_features columns and no
// importance yet, the booster forgets the last fit's best round and seeds its random engine.
void open_new_model(Booster& b, int32_t n_features);

}  // namespace vorlent
