#pragma once
#include <cstdint>
#include <vector>

#include "boosting/booster.hpp"
#include "common/matrix.hpp"

namespace vorlent {

// Rows (x outputs for the multiclass objective) above which gradients run in parallel.
inline constexpr int64_t kParallelGradientRows = 8000;
inline constexpr int64_t kParallelGradientValues = 4000;

// The class of a multiclass target: truncation toward zero (out-of-range values give -1).
int64_t target_class(double y);

// Sets clip_low, clip_high, n_outputs, base_score and (multiclass) base_scores from the
// training targets. Sums run sequentially in row order.
void compute_base_score(Booster& b, const double* y, int32_t n_rows);

// Fills grad and hess for every training row from the current scores, then multiplies
// them by the sample weights. `abs_residuals` is the Huber loss's buffer of n_rows entries.
// huber_delta, when given, is the Huber threshold selected over rows beyond these (a shard's
// rows of a larger training set) in place of the one these rows give.
void compute_gradients(const Booster& b, const double* scores, const double* y, int32_t n_rows,
                       double* grad, double* hess, std::vector<double>& abs_residuals,
                       const double* huber_delta = nullptr);

// Quantile loss: every leaf reached by bag rows takes the alpha-quantile of their residuals.
void refit_quantile_leaves(const Booster& b, Tree& tree, const int32_t* bag, int32_t n_bag,
                           const MatrixView& X, const double* y, const double* scores);

// Mean validation loss: log-loss, squared error or multiclass log-loss.
double validation_loss(const Booster& b, const double* val_scores);

}  // namespace vorlent
