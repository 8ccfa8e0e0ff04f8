#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "boosting/booster.hpp"
#include "boosting/round_hooks.hpp"
#include "common/numeric.hpp"

// The round loop of every training path (in memory, row by row or with exact sums, and on
// shards elsewhere): early stopping, the observer, the stop poll, the cut back to the best
// round and the rollback of a failed call. How a tree grows and where the rows and their
// scores live come in as RoundSteps.

namespace vorlent {

struct RoundSteps {
    // Grows the round's tree from the gradients at the current scores and, once the training
    // (and watched validation) scores have taken it, appends it with its credit and covers.
    std::function<void()> grow;
    std::function<double()> validation_loss;  // at the current scores, for early stopping
    std::function<RoundScores(int32_t round)> scores;  // what the observer sees
};

struct RoundWatch {
    int64_t n_val = 0;        // validation rows
    int32_t es_patience = 0;  // rounds without improvement that stop training; 0: never
    double es_tol = 0.0;      // the least improvement of the validation loss that counts
    RoundObserver observer;
    RoundHook between_rounds;  // the stop poll (Ctrl-C): it may throw between rounds

    bool early_stopping() const { return es_patience >= 1 && n_val >= 1; }
    // The validation rows take every tree: for early stopping or for the observer.
    bool scores_validation() const { return early_stopping() || (observer && n_val >= 1); }
};

class RoundLoop {
public:
    RoundLoop(Booster& b, const RoundWatch& watch) : b_(b), watch_(watch) {}

    // Up to `rounds` rounds, once per loop. However they end (an exception propagates), the model's facts
    // are current, its trees cut back to the best round with early stopping, and the
    // directions of an unfinished tree dropped.
    void run(int32_t rounds, const RoundSteps& steps);

private:
    bool stalled(double loss);  // records the round's loss; true once the rounds stall
    void keep_best_round();

    Booster& b_;
    const RoundWatch& watch_;
    double best_loss_ = kInf;
    int32_t best_round_ = -1;  // the tree index of the best loss so far
    int32_t stall_ = 0;        // rounds since then
};

// What a training call (fit, fit_more, fit_remote) may change of the booster, kept until
// the call has its first tree: a call that fails before then leaves the booster as it was,
// one that fails later keeps its complete trees, as an interrupt does.
class FitRollback {
public:
    // A call that trains a new model moves the old one out (moving it back allocates nothing
    // and cannot fail); one that appends trees keeps a copy, also previous().
    FitRollback(Booster& b, bool new_model);
    const Model& previous() const { return model_; }

    // Runs train(); when it throws before the booster has a new tree, puts the booster back.
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
    void restore(Booster& b) noexcept;

    size_t trees_before_;  // in the booster's model once the call begins
    Model model_;
    std::vector<double> losses_;
    int32_t best_iteration_;
    Rng rng_;
};

}  // namespace vorlent
