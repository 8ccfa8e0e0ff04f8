#include "boosting/booster.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include "io/model_bytes.hpp"

namespace vorlent {

namespace {

BoosterParams params_of(int32_t n_estimators, double learning_rate, int32_t max_depth,
                        int32_t max_bins, double reg_lambda, int32_t min_samples, double subsample,
                        double colsample, uint32_t seed, int32_t objective, int32_t loss,
                        double alpha, int32_t clip, std::vector<int32_t> monotone,
                        std::vector<int32_t> categorical, int32_t max_lineage, int32_t split_mode) {
    BoosterParams p;
    p.n_estimators = n_estimators;
    p.learning_rate = learning_rate;
    p.max_depth = max_depth;
    p.max_bins = max_bins;
    p.reg_lambda = reg_lambda;
    p.min_samples = min_samples;
    p.subsample = subsample;
    p.colsample = colsample;
    p.seed = seed;
    p.objective = static_cast<Objective>(objective);
    p.loss = static_cast<Loss>(loss);
    p.alpha = alpha;
    p.clip = clip;
    p.monotone = std::move(monotone);
    p.categorical = std::move(categorical);
    p.max_lineage = max_lineage;
    p.split_mode = static_cast<SplitMode>(split_mode);
    return p;
}

}  // namespace

Booster::Booster(int32_t n_estimators, double learning_rate, int32_t max_depth, int32_t max_bins,
                 double reg_lambda, int32_t min_samples, double subsample, double colsample,
                 uint32_t seed, int32_t objective, int32_t loss, double alpha, int32_t clip,
                 std::vector<int32_t> monotone, std::vector<int32_t> categorical,
                 int32_t max_lineage, int32_t split_mode)
    : Booster(params_of(n_estimators, learning_rate, max_depth, max_bins, reg_lambda, min_samples,
                        subsample, colsample, seed, objective, loss, alpha, clip,
                        std::move(monotone), std::move(categorical), max_lineage, split_mode)) {}

Booster::Booster(BoosterParams p) : params(std::move(p)) {
    // A model not yet trained still carries these parameters in its bytes.
    model.learning_rate = params.learning_rate;
    model.objective = params.objective;
    model.clip = params.clip;
}

void Booster::truncate(int32_t n) {
    if (model.trees.empty()) {
        throw std::invalid_argument("n_trees: the model has no trees to keep");
    }
    if (n < 1 || n > n_trees()) {
        throw std::invalid_argument("n_trees must be between 1 and the tree count " +
                                    std::to_string(n_trees()) + ", got " + std::to_string(n));
    }
    model.keep_first_trees(n);
    best_iteration = n - 1;
    model.refresh_facts();
}

void Booster::load_model(const uint8_t* data, size_t size) {
    deserialize_model(model, data, size);
    params.learning_rate = model.learning_rate;
    params.objective = model.objective;
    params.clip = model.clip;
}

}  // namespace vorlent
