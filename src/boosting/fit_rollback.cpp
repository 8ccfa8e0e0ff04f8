#include "boosting/fit_rollback.hpp"

#include <utility>

namespace vorlent {

FitRollback::FitRollback(Booster& b)
    : losses_(std::exchange(b.validation_losses, {})),
      best_iteration_(b.best_iteration),
      rng_(b.rng) {}

FitRollback FitRollback::new_model(Booster& b) {
    FitRollback saved(b);
    saved.replaces_model_ = true;
    saved.model_ = std::exchange(b.model, Model{});
    return saved;
}

FitRollback FitRollback::more_trees(Booster& b) {
    FitRollback saved(b);
    saved.trees_before_ = b.model.trees.size();
    saved.covers_before_ = b.model.node_covers.size();
    saved.projections_before_ = b.model.projections.size();
    saved.importances_ = b.model.importances;
    return saved;
}

void FitRollback::restore(Booster& b) noexcept {
    if (replaces_model_) {
        b.model = std::move(model_);
    } else {
        Model& m = b.model;
        if (m.node_covers.size() > covers_before_) m.node_covers.resize(covers_before_);
        if (m.projections.size() > projections_before_) m.projections.resize(projections_before_);
        m.importances = std::move(importances_);
    }
    b.validation_losses = std::move(losses_);
    b.best_iteration = best_iteration_;
    b.rng = rng_;
}

}  // namespace vorlent
