#pragma once
#include <cstdint>
#include <functional>

#include "common/stop_poll.hpp"

// What a training call hands its caller between and after rounds.

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

}  // namespace vorlent
