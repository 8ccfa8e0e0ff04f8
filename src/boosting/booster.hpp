#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"
#include "common/random.hpp"
#include "model/node.hpp"
#include "model/packed_forest.hpp"

namespace vorlent {

// Task codes.
enum Objective : int32_t { kBinary = 0, kRegression = 1, kMulticlass = 2 };
// Regression loss codes.
enum Loss : int32_t { kSquared = 0, kHuber = 1, kQuantile = 2 };

// The learner: hyper-parameters, the trained ensemble, what prediction needs from the
// training data, the early-stopping bookkeeping and the random engine. Training,
// prediction, importances, explanation and the byte format are free functions that
// read or write these fields.
class Booster {
public:
    Booster(int32_t n_estimators, double learning_rate, int32_t max_depth, int32_t max_bins,
            double reg_lambda, int32_t min_samples, double subsample, double colsample,
            uint32_t seed, int32_t objective, int32_t loss, double alpha, int32_t clip,
            std::vector<int32_t> monotone, std::vector<int32_t> categorical,
            int32_t max_lineage, int32_t split_mode);

    int32_t n_trees() const { return static_cast<int32_t>(trees.size()); }

    // Copies the weights when there is one per row; otherwise training is unweighted.
    void load_sample_weights(const double* weights, int64_t count, int64_t n_rows);
    // Population standard deviation of every column over its non-missing values,
    // floored at 1e-12; 1.0 for a column with fewer than two values.
    void compute_feature_scale(const MatrixView& X);
    // Recomputes what readers of the model need to know about its shape (the columns that
    // routing reads, the deepest path). Called after every change of trees or projections.
    void refresh_model_facts();
    // Keeps the first n trees (and their node covers), dropping the rest; no other field
    // changes. n must not exceed the tree count.
    void keep_first_trees(int32_t n);
    // Cuts the ensemble back to its first n trees after the fact, as early stopping does at
    // its best round: best_iteration becomes n - 1 and the importance accumulators and
    // projections keep what the dropped trees added. Throws std::invalid_argument unless
    // 1 <= n <= the tree count; nothing changes then.
    void truncate(int32_t n);

    // Hyper-parameters, as given to the constructor.
    int32_t n_estimators;
    int32_t max_depth;
    int32_t max_bins;
    int32_t min_samples;  // rows a node needs to be split
    double learning_rate;
    double reg_lambda;  // L2 term added to every hessian sum
    double subsample;   // fraction of rows per tree
    double colsample;   // fraction of columns offered per node
    uint32_t seed;
    int32_t objective;
    int32_t loss;
    double alpha;  // quantile level of the Huber and quantile losses
    int32_t clip;  // nonzero: single-output raw scores clamp to the training target range
    std::vector<int32_t> monotone;     // per column: +1 rising, -1 falling, 0 free; empty: none
    std::vector<int32_t> categorical;  // per column: nonzero = categorical; empty: none
    int32_t max_lineage;  // >= 1 selects the lineage projection builder
    int32_t split_mode;   // 0 capped oblique search, 2 uncapped, other values axis only
    // Set after construction (keywords after n_threads); the defaults search as before.
    int32_t max_pair_columns = 0;  // >= 2: a node pairs only its that many best columns
    bool best_of_kinds = false;    // the better of the best pair and the best axis split
    bool learn_missing = false;    // missing values go to the side that gains more
    // Every statistic summed exactly on a fixed-point grid and randomness keyed by row and
    // node, so that the model does not depend on row order or sharding (src/exact).
    bool exact_sums = false;

    // Derived from the training data.
    int32_t hist_bins = 64;             // bins of projected histograms: max(max_bins, 2)
    std::vector<double> feature_scale;  // per column standard deviation

    // The ensemble.
    std::vector<Tree> trees;
    double base_score = 0.0;
    double clip_low = 0.0;
    double clip_high = 0.0;
    int32_t n_features = 0;
    int32_t n_outputs = 1;
    std::vector<double> base_scores;       // per-output start scores (multiclass)
    std::vector<double> feature_gain;      // n_features
    std::vector<double> coefficient_gain;  // n_features
    std::vector<double> interaction_gain;  // n_features * n_features, row-major
    Directions projections;                // unit directions of projection nodes
    // Per tree, per node: the bag rows that reached the node when the tree was grown. Not
    // part of the model bytes: empty after deserialize, and out of step (see covers_match)
    // once fit_more extends a loaded model.
    std::vector<std::vector<double>> node_covers;

    // Training-time inputs.
    std::vector<double> sample_weights;  // empty: every row weighs 1
    std::vector<double> X_val;           // n_val rows of n_features, row-major
    std::vector<double> y_val;
    int32_t n_val = 0;
    int32_t es_patience = 0;
    double es_tol = 1e-4;
    int32_t best_iteration = -1;
    // The validation loss after every round of the last fit or fit_more that watched a
    // validation set (early stopping on); not part of the model bytes.
    std::vector<double> validation_losses;

    Rng rng;  // default-seeded (5489) until the first fit

    // Columns that routing reads: one plus the largest column index any node needs.
    int32_t required_width = 0;
    // Internal nodes on the longest root-to-leaf path of any tree.
    int32_t deepest_path = 0;
    // Compact copies of the trees for prediction; in step with `trees` after every refresh.
    std::vector<PackedTree> packed;
};

// The tree count that stands for every tree of the model in calls that may use only the
// leading trees (prediction, explanation, Shapley values).
inline constexpr int32_t kAllTrees = -1;

// The number of leading trees a call with `n_trees` uses: every tree for kAllTrees, else
// n_trees itself (the binding checks that it lies in [0, booster.n_trees()]).
inline size_t trees_used(const Booster& booster, int32_t n_trees) {
    return n_trees == kAllTrees ? booster.trees.size() : static_cast<size_t>(n_trees);
}

}  // namespace vorlent
