#include "boosting/fit_state.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/numeric.hpp"

namespace vorlent {

std::vector<double> row_weights(const double* weights, int64_t count, int64_t n_rows) {
    if (count != n_rows) return {};
    return std::vector<double>(weights, weights + count);
}

std::vector<double> column_scales(const MatrixView& X) {
    const size_t n_cols = static_cast<size_t>(X.n_cols);
    std::vector<double> scale(n_cols, 1.0);
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
        scale[j] = sd < kTiny ? kTiny : sd;
    }
    return scale;
}

TreeParams tree_params(const BoosterParams& p, const Model& model,
                       std::vector<double> feature_scale) {
    TreeParams t;
    t.max_depth = p.max_depth;
    t.min_samples = p.min_samples;
    t.reg_lambda = p.reg_lambda;
    t.colsample = p.colsample;
    t.split_mode = p.split_mode;
    t.max_pair_columns = p.max_pair_columns;
    t.best_of_kinds = p.best_of_kinds;
    t.learn_missing = p.learn_missing;
    t.max_lineage = p.max_lineage;
    t.multiclass = p.objective == kMulticlass;
    t.n_outputs = model.n_outputs;
    t.monotone = p.monotone;
    t.categorical = p.categorical;
    t.hist_bins = std::max(p.max_bins, 2);
    t.feature_scale = std::move(feature_scale);
    t.env = SearchEnvironment::read();
    return t;
}

Model new_model(const BoosterParams& p, const Model& previous) {
    Model m;
    m.learning_rate = p.learning_rate;
    m.objective = p.objective;
    m.clip = p.clip;
    m.base_scores = previous.base_scores;
    return m;
}

void open_new_model(Booster& b, int32_t n_features) {
    Model& m = b.model;
    m.n_features = n_features;
    m.importances.feature_gain.assign(static_cast<size_t>(n_features), 0.0);
    m.importances.coefficient_gain.assign(static_cast<size_t>(n_features), 0.0);
    m.importances.interaction_gain.clear();
    m.refresh_facts();
    b.best_iteration = -1;
    b.rng.seed(b.params.seed);
}

}  // namespace vorlent
