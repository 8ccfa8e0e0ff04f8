#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "boosting/params.hpp"
#include "common/exact_sum.hpp"
#include "common/matrix.hpp"
#include "model/model.hpp"

namespace vorlent {

// Rows (x outputs for the multiclass objective) above which gradients run in parallel.
inline constexpr int64_t kParallelGradientRows = 8000;
inline constexpr int64_t kParallelGradientValues = 4000;

// The class of a multiclass target: truncation toward zero (out-of-range values give -1).
int64_t target_class(double y);

// Sets clip_low, clip_high, n_outputs, base_score and (multiclass) base_scores of `model`
// from the training targets and their weights (empty: every row weighs 1). Sums run
// sequentially in row order.
void compute_base_score(Model& model, const BoosterParams& params,
                        const std::vector<double>& weights, const double* y, int32_t n_rows);

// The start of a multiclass model from each class's (weighted) row count and their total:
// n_outputs, the per-class base_scores (smoothed log frequencies) and base_score 0.
void set_class_start(Model& model, const std::vector<double>& class_weight, double total);

// The start of a single-output model from the (weighted) mean target: its log-odds for the
// binary objective, the mean for squared error, else median() (Huber and quantile losses).
void set_single_start(Model& model, const BoosterParams& params, double mean,
                      const std::function<double()>& median);

// Fills grad and hess (n_outputs per row) for every training row from the current scores,
// then multiplies them by the weights (empty: every row weighs 1). `abs_residuals` is the
// Huber loss's buffer of n_rows entries. huber_delta, when given, is the Huber threshold
// selected over rows beyond these (a shard's rows of a larger training set) in place of
// the one these rows give.
void compute_gradients(const BoosterParams& params, int64_t n_outputs,
                       const std::vector<double>& weights, const double* scores, const double* y,
                       int32_t n_rows, double* grad, double* hess,
                       std::vector<double>& abs_residuals, const double* huber_delta = nullptr);

// Quantile loss: every leaf reached by bag rows takes the alpha-quantile of their residuals.
void refit_quantile_leaves(double alpha, const Directions& projections, Tree& tree,
                           const int32_t* bag, int32_t n_bag, const MatrixView& X, const double* y,
                           const double* scores);

// The loss of one row with target y and scores row_scores (n_outputs of them for the
// multiclass objective): log-loss, squared error or multiclass log-loss.
double row_loss(Objective objective, int64_t n_outputs, const double* row_scores, double y);

// Mean validation loss over the rows of y_val (n_outputs scores each): log-loss, squared
// error or multiclass log-loss.
double validation_loss(Objective objective, int64_t n_outputs, const std::vector<double>& y_val,
                       const double* val_scores);

// With exact sums, as rows in any order and shards sum it: the largest |row_loss| of n rows
// (n_outputs scores each), and the exact sum of their losses on the grid of a merged bound.
double loss_bound(Objective objective, int64_t n_outputs, const double* y, int64_t n,
                  const double* scores);
ExactSum loss_sum(Objective objective, int64_t n_outputs, const double* y, int64_t n,
                  const double* scores, double bound);

}  // namespace vorlent
