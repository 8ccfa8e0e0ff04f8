#pragma once
// What the tree builders read and where they write besides their tree: the parameters
// that shape a tree, set once per fit, and the model's lists they add to.
#include <cstdint>
#include <string>
#include <vector>

#include "model/importance.hpp"
#include "model/node.hpp"
#include "tree/pair_config.hpp"

namespace vorlent {

// How the histogram builder searches a node. Values other than these search like kAxisOnly.
enum SplitMode : int32_t {
    kCappedOblique = 0,  // pairs of columns, each node's candidates capped (and screened)
    kAxisOnly = 1,       // single-column threshold splits only
    kFullOblique = 2,    // every pair of columns evaluated exactly
};

// Diagnostic switches of the oblique search, taken from the environment once per fit.
struct SearchEnvironment {
    bool axis_only = false;  // VRL_AXIS begins with "1"
    bool full = false;       // VRL_FULL begins with "1"
    int32_t keep_top = 0;    // VRL_K: keep only this many candidates when positive
    std::string dump_path;   // VRL_DUMP: append every candidate's prescore and gain; empty: none
    static SearchEnvironment read();
};

// The parameters a tree builder reads: the booster's hyper-parameters that shape a tree and
// what a fit derives from its training data.
struct TreeParams {
    int32_t max_depth = 5;
    int32_t min_samples = 10;  // rows a node needs to be split
    double reg_lambda = 1.0;   // L2 term added to every hessian sum
    double colsample = 1.0;    // fraction of columns offered per node
    SplitMode split_mode = kCappedOblique;
    int32_t max_pair_columns = 0;      // >= 2: a node pairs only its that many best columns
    bool best_of_kinds = false;        // the better of the best pair and the best axis split
    bool learn_missing = false;        // missing values go to the side that gains more
    int32_t max_lineage = 0;           // lineage builder: ancestor directions a node keeps
    bool multiclass = false;           // leaves hold one value per output
    int32_t n_outputs = 1;             // gradients and hessians per training row
    std::vector<int32_t> monotone;     // per column: +1 rising, -1 falling, 0 free; empty: none
    std::vector<int32_t> categorical;  // per column: nonzero = categorical; empty: none
    // Derived from the training data.
    int32_t hist_bins = 64;             // bins of projected histograms: max(max_bins, 2)
    std::vector<double> feature_scale;  // per column standard deviation
    SearchEnvironment env;

    PairConfig pair_config() const {
        return PairConfig{reg_lambda, &categorical, &monotone, &feature_scale};
    }
};

// Where a builder writes besides its tree: every committed split's gain goes to the model's
// importance accumulators (of a model of n_features columns), and the lineage builder's
// projection directions to the model's projection list.
struct TreeOutputs {
    Importances* importances;
    int32_t n_features;
    Directions* projections;
};

}  // namespace vorlent
