#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "boosting/booster.hpp"
#include "boosting/train.hpp"

// The round loop of every training path: in memory (row by row or with exact sums) and on
// shards in other processes. It owns what one call's rounds share: early stopping, the
// observer, the stop poll between rounds, the directions of an unfinished tree and the cut
// back to the best round. What differs between the paths (how a tree grows, where the rows
// and their scores live) comes in as RoundSteps.

namespace vorlent {

struct RoundSteps {
    // Grows the round's tree from the gradients at the current scores and appends it to the
    // model with its importance credit and covers; the training scores and, when the loop
    // watches validation rows, theirs take the tree.
    std::function<void()> grow;
    // The validation loss at the current scores (read with early stopping on).
    std::function<double()> validation_loss;
    // What the observer sees after a round (read with an observer).
    std::function<RoundScores(int32_t round)> scores;
};

// Early stopping's settings and what watches the rounds.
struct RoundWatch {
    int64_t n_val = 0;        // validation rows
    int32_t es_patience = 0;  // rounds without improvement that stop training; 0: never
    double es_tol = 0.0;      // the least improvement of the validation loss that counts
    RoundObserver observer;
    RoundHook between_rounds;  // the stop poll: it may throw between rounds

    bool early_stopping() const { return es_patience >= 1 && n_val >= 1; }
    // The validation rows take every tree: for early stopping or for the observer.
    bool scores_validation() const { return early_stopping() || (observer && n_val >= 1); }
};

class RoundLoop {
public:
    RoundLoop(Booster& b, const RoundWatch& watch) : b_(b), watch_(watch) {}

    // Up to `rounds` rounds. However the call ends, the model's facts are current and, with
    // early stopping, its trees cut back to the best round; an exception propagates after
    // that, with the directions of an unfinished tree dropped.
    void run(int32_t rounds, const RoundSteps& steps);

private:
    // Records the round's validation loss; true when the rounds have stalled.
    bool stalled(double loss);
    void keep_best_round();

    Booster& b_;
    const RoundWatch& watch_;
    double best_loss_ = 0.0;
    int32_t best_round_ = -1;  // the tree index of the best loss so far
    int32_t stall_ = 0;        // rounds since then
};

}  // namespace vorlent
