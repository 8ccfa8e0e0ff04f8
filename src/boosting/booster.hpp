#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "boosting/params.hpp"
#include "common/random.hpp"
#include "model/model.hpp"

namespace vorlent {

// The learner as the binding holds it: its hyper-parameters, the trained model and what
// persists from one training call to the next. Training (boosting/train.hpp) reads the
// parameters and writes the model; prediction, importances, explanation and the model
// bytes read the model alone.
struct Booster {
    Booster(int32_t n_estimators, double learning_rate, int32_t max_depth, int32_t max_bins,
            double reg_lambda, int32_t min_samples, double subsample, double colsample,
            uint32_t seed, int32_t objective, int32_t loss, double alpha, int32_t clip,
            std::vector<int32_t> monotone, std::vector<int32_t> categorical,
            int32_t max_lineage, int32_t split_mode);
    explicit Booster(BoosterParams p);

    int32_t n_trees() const { return model.n_trees(); }

    // Cuts the ensemble back to its first n trees after the fact, as early stopping does at
    // its best round: best_iteration becomes n - 1 and the importance accumulators and
    // projections keep what the dropped trees added. Throws std::invalid_argument unless
    // 1 <= n <= the tree count; nothing changes then.
    void truncate(int32_t n);
    // Replaces the model by the one stored in `data` (io/model_bytes.hpp); the parameters
    // that the bytes carry (learning_rate, objective, clip) follow it. On any problem it
    // throws std::invalid_argument and nothing changes.
    void load_model(const uint8_t* data, size_t size);

    BoosterParams params;
    Model model;
    // The best round of the last fit with early stopping, -1 without.
    int32_t best_iteration = -1;
    // The validation loss after every round of the last fit or fit_more that watched a
    // validation set (early stopping on); not part of the model bytes.
    std::vector<double> validation_losses;
    // Samples rows and columns; default-seeded (5489) until the first fit, which seeds it,
    // and carried on by fit_more.
    Rng rng;
};

}  // namespace vorlent
