#include "boosting/round_loop.hpp"

#include <utility>

namespace vorlent {

void RoundLoop::run(int32_t rounds, const RoundSteps& steps) {
    Model& m = b_.model;
    b_.validation_losses.clear();
    // The facts stay current however the call ends: a stop between rounds leaves a usable
    // booster.
    struct Refresh {
        Model& m;
        ~Refresh() { m.refresh_facts(); }
    } refresh{m};
    // The directions that a builder adds while a tree grows belong to no committed tree
    // until the tree is appended.
    size_t committed_projections = m.projections.size();
    try {
        for (int32_t round = 0; round < rounds; ++round) {
            steps.grow();
            committed_projections = m.projections.size();
            bool stop = watch_.early_stopping() && stalled(steps.validation_loss());
            if (watch_.observer) stop = watch_.observer(steps.scores(round)) || stop;
            if (stop) break;
            if (watch_.between_rounds && round + 1 < rounds) watch_.between_rounds();
        }
    } catch (...) {
        m.projections.resize(committed_projections);
        // An interrupted call keeps its complete trees, cut back as early stopping would.
        keep_best_round();
        throw;
    }
    keep_best_round();
}

bool RoundLoop::stalled(double loss) {
    b_.validation_losses.push_back(loss);
    if (loss < best_loss_ - watch_.es_tol) {
        best_loss_ = loss;
        best_round_ = b_.n_trees() - 1;
        stall_ = 0;
        return false;
    }
    return ++stall_ >= watch_.es_patience;
}

void RoundLoop::keep_best_round() {
    if (!watch_.early_stopping()) return;
    if (best_round_ >= 0 && best_round_ + 1 < b_.n_trees()) {
        b_.model.keep_first_trees(best_round_ + 1);
    }
    b_.best_iteration = b_.n_trees() - 1;
}

FitRollback::FitRollback(Booster& b, bool new_model)
    : trees_before_(new_model ? 0 : b.model.trees.size()),
      model_(new_model ? std::exchange(b.model, Model{}) : b.model),
      losses_(std::exchange(b.validation_losses, {})),
      best_iteration_(b.best_iteration),
      rng_(b.rng) {}

void FitRollback::restore(Booster& b) noexcept {
    b.model = std::move(model_);
    b.validation_losses = std::move(losses_);
    b.best_iteration = best_iteration_;
    b.rng = rng_;
}

}  // namespace vorlent
