#pragma once
#include <cstdint>
#include <functional>

#include "boosting/booster.hpp"
#include "common/matrix.hpp"
#include "prep/binning.hpp"

namespace vorlent {

// A vector argument as it arrives from the caller.
struct VectorArg {
    const double* data = nullptr;
    int64_t size = 0;
};

// Called between boosting rounds; it may throw to stop training after a complete round.
using RoundHook = std::function<void()>;

// Trains a new ensemble from scratch. Every argument is checked before any field changes.
// X_val is read only when y_val is not empty; early stopping needs es_patience >= 1 too.
void fit(Booster& b, const MatrixView& X, VectorArg y, VectorArg sample_weight,
         const MatrixView& X_val, VectorArg y_val, int32_t es_patience, double es_tol,
         const RoundHook& between_rounds = {});

// Appends `extra` rounds trained on (X, y), starting from the current ensemble's scores.
// Does nothing when extra <= 0 or there are no trees yet.
void fit_more(Booster& b, const MatrixView& X, VectorArg y, int32_t extra, VectorArg sample_weight,
              const RoundHook& between_rounds = {});

// Rows in each round's bag: subsample of n_rows, rounded down, at least 1.
int32_t bag_size(int32_t n_rows, double subsample);

// The shared round loop: gradients, the row bag, one tree, score updates, early stopping.
void boost_rounds(Booster& b, const MatrixView& X, const double* y, const BinnedMatrix& bins,
                  double* scores, int32_t rounds, const RoundHook& between_rounds);

}  // namespace vorlent
