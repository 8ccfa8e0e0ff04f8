#include "boosting/fit_checks.hpp"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "boosting/objective.hpp"
#include "common/memory.hpp"

namespace vorlent {
namespace {

// The most classes a multiclass model may have.
constexpr double kMaxClasses = 1e6;

[[noreturn]] void reject(const std::string& message) { throw std::invalid_argument(message); }

std::string str(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void check_targets(const Booster& b, VectorArg y, const char* name) {
    for (int64_t i = 0; i < y.size; ++i) {
        const double v = y.data[i];
        if (!std::isfinite(v)) {
            reject(std::string(name) + " must be finite, but entry " + std::to_string(i) + " is " +
                   str(v));
        }
        if (b.objective == kBinary && (v < 0.0 || v > 1.0)) {
            reject(std::string(name) + " must lie in [0, 1] for the binary objective, but entry " +
                   std::to_string(i) + " is " + str(v));
        }
        if (b.objective == kMulticlass && v >= kMaxClasses) {
            reject(std::string(name) + " holds the class " + str(v) +
                   "; the multiclass objective supports at most 1000000 classes");
        }
    }
}

}  // namespace

void check_hyper_parameters(const Booster& b, int32_t n_features) {
    if (b.objective < 0 || b.objective > 2) {
        reject("objective must be 0 (binary), 1 (regression) or 2 (multiclass), got " +
               std::to_string(b.objective));
    }
    if (b.loss < 0 || b.loss > 2) {
        reject("loss must be 0 (squared), 1 (Huber) or 2 (quantile), got " +
               std::to_string(b.loss));
    }
    if (!(b.alpha >= 0.0 && b.alpha <= 1.0)) reject("alpha must lie in [0, 1], got " + str(b.alpha));
    if (b.n_estimators < 0) {
        reject("n_estimators must not be negative, got " + std::to_string(b.n_estimators));
    }
    if (b.max_bins > 65536) {
        reject("max_bins must be at most 65536 (bin codes are 16 bits), got " +
               std::to_string(b.max_bins));
    }
    if (!std::isfinite(b.learning_rate)) reject("learning_rate must be finite, got " + str(b.learning_rate));
    if (!(b.reg_lambda >= 0.0) || !std::isfinite(b.reg_lambda)) {
        reject("reg_lambda must be finite and not negative, got " + str(b.reg_lambda));
    }
    if (std::isnan(b.subsample)) reject("subsample must not be NaN");
    if (std::isnan(b.colsample)) reject("colsample must not be NaN");
    if (!b.monotone.empty() && static_cast<int64_t>(b.monotone.size()) < n_features) {
        reject("monotone has " + std::to_string(b.monotone.size()) + " entries but X has " +
               std::to_string(n_features) + " columns");
    }
    if (!b.categorical.empty() && static_cast<int64_t>(b.categorical.size()) < n_features) {
        reject("categorical has " + std::to_string(b.categorical.size()) + " entries but X has " +
               std::to_string(n_features) + " columns");
    }
    if (b.objective == kMulticlass && b.max_lineage >= 1) {
        reject("max_lineage >= 1 cannot train the multiclass objective: its trees would not "
               "change any class score");
    }
}

void check_training_data(const Booster& b, const MatrixView& X, VectorArg y,
                         VectorArg sample_weight) {
    if (X.n_rows == 0) reject("X has no rows");
    if (y.size != X.n_rows) {
        reject("y has " + std::to_string(y.size) + " entries but X has " +
               std::to_string(X.n_rows) + " rows");
    }
    check_targets(b, y, "y");
    if (sample_weight.size != 0) {
        if (sample_weight.size != X.n_rows) {
            reject("sample_weight has " + std::to_string(sample_weight.size) +
                   " entries but X has " + std::to_string(X.n_rows) + " rows");
        }
        for (int64_t i = 0; i < sample_weight.size; ++i) {
            const double w = sample_weight.data[i];
            if (!std::isfinite(w) || w < 0.0) {
                reject("sample_weight must be finite and not negative, but entry " +
                       std::to_string(i) + " is " + str(w));
            }
        }
    }
}

void check_validation_data(const Booster& b, const MatrixView& X, const MatrixView& X_val,
                           VectorArg y_val, const double* y) {
    if (y_val.size == 0) return;
    if (X_val.n_cols != X.n_cols) {
        reject("X_val has " + std::to_string(X_val.n_cols) + " columns but X has " +
               std::to_string(X.n_cols));
    }
    if (X_val.n_rows != y_val.size) {
        reject("X_val has " + std::to_string(X_val.n_rows) + " rows but y_val has " +
               std::to_string(y_val.size) + " entries");
    }
    check_targets(b, y_val, "y_val");
    if (b.objective == kMulticlass) {
        double top = y[0];
        for (int32_t i = 1; i < X.n_rows; ++i) top = y[i] > top ? y[i] : top;
        const int64_t classes = target_class(top) + 1;
        for (int64_t i = 0; i < y_val.size; ++i) {
            const int64_t c = target_class(y_val.data[i]);
            if (c < 0 || c >= classes) {
                reject("y_val entry " + std::to_string(i) + " is " + str(y_val.data[i]) +
                       ", outside the classes 0 to " + std::to_string(classes - 1) +
                       " that y holds");
            }
        }
    }
}

void check_class_count(const Booster& b, VectorArg y, bool continuing) {
    if (b.objective != kMulticlass || y.size == 0) return;
    int64_t classes = b.n_outputs;
    if (!continuing) {
        double top = y.data[0];
        for (int64_t i = 1; i < y.size; ++i) top = y.data[i] > top ? y.data[i] : top;
        classes = target_class(top) + 1;
        // Negative classes count nowhere, but a model needs at least one class to score.
        if (classes < 1) {
            reject(
                "y must hold a class of 0 or more for the multiclass objective, but its "
                "largest entry is " +
                str(top));
        }
    }
    // Scores, gradients and hessians: one double each per row and class.
    check_memory_need(24.0 * static_cast<double>(y.size) * static_cast<double>(classes),
                      "the scores of " + std::to_string(y.size) + " rows times " +
                          std::to_string(classes) + " classes");
}

}  // namespace vorlent
