#include "boosting/booster.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/numeric.hpp"
#include "model/routing.hpp"

namespace vorlent {

Booster::Booster(int32_t n_estimators_, double learning_rate_, int32_t max_depth_,
                 int32_t max_bins_, double reg_lambda_, int32_t min_samples_,
                 double subsample_, double colsample_, uint32_t seed_, int32_t objective_,
                 int32_t loss_, double alpha_, int32_t clip_, std::vector<int32_t> monotone_,
                 std::vector<int32_t> categorical_, int32_t max_lineage_, int32_t split_mode_)
    : n_estimators(n_estimators_),
      max_depth(max_depth_),
      max_bins(max_bins_),
      min_samples(min_samples_),
      learning_rate(learning_rate_),
      reg_lambda(reg_lambda_),
      subsample(subsample_),
      colsample(colsample_),
      seed(seed_),
      objective(objective_),
      loss(loss_),
      alpha(alpha_),
      clip(clip_),
      monotone(std::move(monotone_)),
      categorical(std::move(categorical_)),
      max_lineage(max_lineage_),
      split_mode(split_mode_) {}

void Booster::load_sample_weights(const double* weights, int64_t count, int64_t n_rows) {
    if (count == n_rows) {
        sample_weights.assign(weights, weights + count);
    } else {
        sample_weights.clear();
    }
}

void Booster::compute_feature_scale(const MatrixView& X) {
    const size_t n_cols = static_cast<size_t>(X.n_cols);
    feature_scale.assign(n_cols, 1.0);
    // One pass in row order; each column's sums still accumulate row by row.
    std::vector<int64_t> count(n_cols, 0);
    std::vector<double> sum(n_cols, 0.0);
    std::vector<double> sum_sq(n_cols, 0.0);
    for (int64_t r = 0; r < X.n_rows; ++r) {
        const double* row = X.row(r);
        for (size_t j = 0; j < n_cols; ++j) {
            const double v = row[j];
            if (std::isnan(v)) continue;
            ++count[j];
            sum[j] += v;
            sum_sq[j] += v * v;
        }
    }
    for (size_t j = 0; j < n_cols; ++j) {
        if (count[j] <= 1) continue;
        const double m = static_cast<double>(count[j]);
        const double mean = sum[j] / m;
        double variance = sum_sq[j] / m - mean * mean;
        if (!(variance >= 0.0)) variance = 0.0;
        const double sd = std::sqrt(variance);
        feature_scale[j] = sd < kTiny ? kTiny : sd;
    }
}

void Booster::refresh_model_facts() {
    required_width = required_columns(trees, projections);
    deepest_path = 0;
    packed.clear();
    packed.reserve(trees.size());
    for (const Tree& tree : trees) {
        deepest_path = std::max(deepest_path, tree_depth(tree));
        packed.push_back(pack_tree(tree));
    }
}

void Booster::keep_first_trees(int32_t n) {
    const auto kept = static_cast<size_t>(n);
    trees.resize(std::min(trees.size(), kept));
    node_covers.resize(std::min(node_covers.size(), kept));
}

void Booster::truncate(int32_t n) {
    if (trees.empty()) throw std::invalid_argument("n_trees: the model has no trees to keep");
    if (n < 1 || n > n_trees()) {
        throw std::invalid_argument("n_trees must be between 1 and the tree count " +
                                    std::to_string(n_trees()) + ", got " + std::to_string(n));
    }
    keep_first_trees(n);
    best_iteration = n - 1;
    refresh_model_facts();
}

}  // namespace vorlent
