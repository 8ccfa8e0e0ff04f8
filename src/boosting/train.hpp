#pragma once
#include <cstdint>
#include <functional>

#include "boosting/booster.hpp"
#include "boosting/fit_state.hpp"
#include "boosting/vector_arg.hpp"
#include "common/matrix.hpp"
#include "common/stop_poll.hpp"
#include "prep/binning.hpp"

namespace vorlent {

// Called between boosting rounds; it may throw to stop training after a complete round.
using RoundHook = StopCheck;

// What an observer sees after a round: the current raw scores of the training rows and,
// when the call has a validation set, of the validation rows (row-major, n_outputs per row).
// The buffers belong to the round loop and change in the next round.
struct RoundScores {
    int32_t round = 0;  // index of the round within this call, from 0
    const double* train = nullptr;
    int32_t n_rows = 0;
    const double* val = nullptr;  // null when there is no validation set
    int32_t n_val = 0;
    int64_t n_outputs = 1;
};

// Called after every complete round, the last one too; returning true stops training after
// that round as an interrupt would (the trees are kept; early stopping still cuts back to
// its best round). It may throw, with the same effect, and the exception propagates.
using RoundObserver = std::function<bool(const RoundScores&)>;

// Trains a new ensemble from scratch. Every argument is checked before any field changes.
// X_val is read only when y_val is not empty; early stopping needs es_patience >= 1 too.
void fit(Booster& b, const MatrixView& X, VectorArg y, VectorArg sample_weight,
         const MatrixView& X_val, VectorArg y_val, int32_t es_patience, double es_tol,
         const RoundHook& between_rounds = {}, const RoundObserver& observer = {});

// Appends `extra` rounds trained on (X, y), starting from the current ensemble's scores.
// Does nothing when extra <= 0 or there are no trees yet.
void fit_more(Booster& b, const MatrixView& X, VectorArg y, int32_t extra, VectorArg sample_weight,
              const RoundHook& between_rounds = {}, const RoundObserver& observer = {});

}  // namespace vorlent
