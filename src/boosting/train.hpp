#pragma once
#include <cstdint>

#include "boosting/booster.hpp"
#include "boosting/fit_state.hpp"
#include "boosting/round_hooks.hpp"
#include "boosting/vector_arg.hpp"
#include "common/matrix.hpp"
#include "prep/binning.hpp"

namespace vorlent {

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
