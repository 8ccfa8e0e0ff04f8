#include "boosting/params.hpp"

#include <cmath>
#include <string>

#include "boosting/check_text.hpp"

namespace vorlent {
namespace {

// A fraction that must lie in (0, 1].
void check_fraction(double v, const char* name) {
    if (std::isnan(v)) reject(std::string(name) + " must not be NaN");
    if (!(v > 0.0 && v <= 1.0)) reject(std::string(name) + " must lie in (0, 1], got " + str(v));
}

}  // namespace

void check_construction(const BoosterParams& p) {
    // One column makes no pair.
    if (p.max_pair_columns < 0 || p.max_pair_columns == 1) {
        reject("max_pair_columns must be 0 (every column) or a column count of 2 or more, got " +
               std::to_string(p.max_pair_columns));
    }
}

void check_hyper_parameters(const BoosterParams& p, int32_t n_features) {
    if (p.objective < 0 || p.objective > 2) {
        reject("objective must be 0 (binary), 1 (regression) or 2 (multiclass), got " +
               std::to_string(p.objective));
    }
    if (p.loss < 0 || p.loss > 2) {
        reject("loss must be 0 (squared), 1 (Huber) or 2 (quantile), got " +
               std::to_string(p.loss));
    }
    if (!(p.alpha >= 0.0 && p.alpha <= 1.0))
        reject("alpha must lie in [0, 1], got " + str(p.alpha));
    // At 0 or 1 the Huber threshold is the smallest or largest residual and the quantile
    // is the range's end, which no finite score reaches.
    if (p.objective == kRegression && (p.loss == kHuber || p.loss == kQuantile) &&
        !(p.alpha > 0.0 && p.alpha < 1.0)) {
        reject("alpha must lie in (0, 1) for the Huber and quantile losses, got " + str(p.alpha));
    }
    if (p.n_estimators < 0) {
        reject("n_estimators must not be negative, got " + std::to_string(p.n_estimators));
    }
    if (p.max_bins > 65536) {
        reject("max_bins must be at most 65536 (bin codes are 16 bits), got " +
               std::to_string(p.max_bins));
    }
    if (!std::isfinite(p.learning_rate))
        reject("learning_rate must be finite, got " + str(p.learning_rate));
    if (!(p.learning_rate > 0.0)) {
        reject("learning_rate must be positive, got " + str(p.learning_rate));
    }
    if (!(p.reg_lambda >= 0.0) || !std::isfinite(p.reg_lambda)) {
        reject("reg_lambda must be finite and not negative, got " + str(p.reg_lambda));
    }
    check_fraction(p.subsample, "subsample");
    check_fraction(p.colsample, "colsample");
    if (!p.monotone.empty() && static_cast<int64_t>(p.monotone.size()) < n_features) {
        reject("monotone has " + std::to_string(p.monotone.size()) + " entries but X has " +
               std::to_string(n_features) + " columns");
    }
    if (!p.categorical.empty() && static_cast<int64_t>(p.categorical.size()) < n_features) {
        reject("categorical has " + std::to_string(p.categorical.size()) + " entries but X has " +
               std::to_string(n_features) + " columns");
    }
    for (int32_t j = 0; j < n_features && !p.monotone.empty(); ++j) {
        if (p.monotone[j] == 0) continue;
        // A category code has no order for a constraint to follow.
        if (p.is_categorical(j)) {
            reject("monotone[" + std::to_string(j) + "] is " + std::to_string(p.monotone[j]) +
                   " but column " + std::to_string(j) +
                   " is categorical: monotone constraints need numeric columns");
        }
    }
    if (p.objective == kMulticlass && p.max_lineage >= 1) {
        reject(
            "max_lineage >= 1 cannot train the multiclass objective: its trees would not "
            "change any class score");
    }
}

}  // namespace vorlent
