#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "boosting/booster.hpp"
#include "common/random.hpp"
#include "model/importance.hpp"
#include "model/model.hpp"

namespace vorlent {

// What a training call (fit, fit_more, fit_remote) may change of the booster, kept until the
// call has its first tree. A call that fails before then leaves the booster as it was; one
// that fails later keeps its complete trees, as an interrupt does.
class FitRollback {
public:
    // For a call that trains a new model: the old one moves out, so the new one is built in
    // a fresh Model at no cost, and moving it back allocates nothing and cannot fail.
    static FitRollback new_model(Booster& b);
    // For a call that appends trees to the booster's model.
    static FitRollback more_trees(Booster& b);

    // The model the booster held when the call began (empty for more_trees).
    const Model& previous() const { return model_; }

    // Runs train(); when it throws before the booster has a new tree, puts the booster back
    // and rethrows.
    template <class Train>
    void guard(Booster& b, Train&& train) {
        try {
            train();
        } catch (...) {
            if (b.model.trees.size() == trees_before_) restore(b);
            throw;
        }
    }

private:
    explicit FitRollback(Booster& b);
    void restore(Booster& b) noexcept;

    bool replaces_model_ = false;
    Model model_;  // the whole previous model when the call replaces it
    size_t trees_before_ = 0, covers_before_ = 0, projections_before_ = 0;
    Importances importances_;  // when the call appends trees
    std::vector<double> losses_;
    int32_t best_iteration_;
    Rng rng_;
};

}  // namespace vorlent
