#pragma once
#include <cstdint>
#include <vector>

#include "model/model.hpp"
#include "tree/tree_params.hpp"

namespace vorlent {

// Regression loss codes.
enum Loss : int32_t { kSquared = 0, kHuber = 1, kQuantile = 2 };

// The hyper-parameters of a booster, as given to its constructor. Codes outside their
// enums are kept as given (the binding hands them back) until check_hyper_parameters
// refuses them.
struct BoosterParams {
    int32_t n_estimators = 60;
    double learning_rate = 0.12;
    int32_t max_depth = 4;
    int32_t max_bins = 64;
    double reg_lambda = 1.0;   // L2 term added to every hessian sum
    int32_t min_samples = 10;  // rows a node needs to be split
    double subsample = 1.0;    // fraction of rows per tree
    double colsample = 1.0;    // fraction of columns offered per node
    uint32_t seed = 42;
    Objective objective = kBinary;
    Loss loss = kSquared;
    double alpha = 0.9;  // quantile level of the Huber and quantile losses
    int32_t clip = 0;    // nonzero: single-output raw scores clamp to the training target range
    std::vector<int32_t> monotone;     // per column: +1 rising, -1 falling, 0 free; empty: none
    std::vector<int32_t> categorical;  // per column: nonzero = categorical; empty: none
    int32_t max_lineage = 0;           // >= 1 selects the lineage projection builder
    SplitMode split_mode = kCappedOblique;
    // Keywords after n_threads; the defaults search as before they existed.
    int32_t max_pair_columns = 0;  // >= 2: a node pairs only its that many best columns
    bool best_of_kinds = false;    // the better of the best pair and the best axis split
    bool learn_missing = false;    // missing values go to the side that gains more
    // Every statistic summed exactly on a fixed-point grid and randomness keyed by row and
    // node, so that the model does not depend on row order or sharding (src/exact).
    bool exact_sums = false;

    bool is_categorical(int32_t column) const {
        return column < static_cast<int32_t>(categorical.size()) && categorical[column] != 0;
    }
};

// The two checks of the parameters, each raising std::invalid_argument that names the
// parameter. What a booster cannot even be built with is refused at construction; the
// rest when training starts, before anything changes, as it depends on the data's columns.
void check_construction(const BoosterParams& p);
void check_hyper_parameters(const BoosterParams& p, int32_t n_features);

}  // namespace vorlent
