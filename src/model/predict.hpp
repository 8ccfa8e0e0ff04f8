#pragma once
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"
#include "common/stop_poll.hpp"
#include "model/model.hpp"

namespace vorlent {

// Rows above which prediction and the logistic transform run in parallel.
inline constexpr int64_t kParallelRows = 2000;
// Values (rows x outputs) above which the softmax runs in parallel.
inline constexpr int64_t kParallelValues = 4000;

// The raw score of every output before any tree: base_score for single-output models; for
// the multiclass objective the per-output start scores, or 0 for each output when the model
// carries none (older model bytes).
std::vector<double> start_scores(const Model& model);

// Raw scores of every row: the start score plus learning_rate times the leaf value of
// every tree, or of the first n_trees trees. `out` holds n_rows values, or n_rows *
// n_outputs for the multiclass objective. Never clips. `stop` is polled between blocks of
// rows (see StopPoll); when it throws, the exception propagates and `out` is left
// unfinished.
void predict_scores(const Model& model, const MatrixView& X, double* out,
                    int32_t n_trees = kAllTrees, const StopCheck& stop = {});

// Whether predict_raw clamps the raw scores to [clip_low, clip_high].
inline bool clamps_raw_scores(const Model& model) {
    return model.clip != 0 && model.objective != kMulticlass;
}

// Raw scores as predict_raw returns them: clamped to the training target range when
// clip is set (single output only).
void predict_raw(const Model& model, const MatrixView& X, double* out, int32_t n_trees = kAllTrees,
                 const StopCheck& stop = {});

// Probabilities: n_rows x 2 (logistic of the unclipped score) for single-output
// models, n_rows x n_outputs (softmax) for the multiclass objective.
void predict_proba(const Model& model, const MatrixView& X, double* out,
                   int32_t n_trees = kAllTrees, const StopCheck& stop = {});

// The softmax of one row's k scores, shifted by their maximum.
void softmax_row(const double* scores, int32_t k, double* out);

}  // namespace vorlent
