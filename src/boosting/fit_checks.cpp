#include "boosting/fit_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "boosting/bag_size.hpp"
#include "boosting/check_text.hpp"
#include "boosting/fit_state.hpp"
#include "boosting/objective.hpp"
#include "common/memory.hpp"

namespace vorlent {
namespace {

// The most classes a multiclass model may have.
constexpr double kMaxClasses = 1e6;

void check_targets(const Booster& b, VectorArg y, const char* name) {
    for (int64_t i = 0; i < y.size; ++i) {
        const double v = y.data[i];
        if (!std::isfinite(v)) {
            reject(std::string(name) + " must be finite, but entry " + std::to_string(i) + " is " +
                   str(v));
        }
        if (b.params.objective == kBinary && (v < 0.0 || v > 1.0)) {
            reject(std::string(name) + " must lie in [0, 1] for the binary objective, but entry " +
                   std::to_string(i) + " is " + str(v));
        }
        if (b.params.objective == kMulticlass && v >= kMaxClasses) {
            reject(std::string(name) + " holds the class " + str(v) +
                   "; the multiclass objective supports at most 1000000 classes");
        }
        // A negative class would drop the row and a fractional one would be truncated.
        if (b.params.objective == kMulticlass && (v < 0.0 || v != std::trunc(v))) {
            reject(std::string(name) +
                   " must hold a class of 0 or more (a whole number) for the multiclass "
                   "objective, but entry " +
                   std::to_string(i) + " is " + str(v));
        }
    }
}

// Category codes are whole numbers (or NaN, missing): a fractional code would be truncated
// by routing but binned as a value of its own.
void check_category_codes(const Booster& b, const MatrixView& X, const char* name) {
    for (int32_t j = 0; j < X.n_cols; ++j) {
        if (!b.params.is_categorical(j)) continue;
        for (int64_t r = 0; r < X.n_rows; ++r) {
            const double v = X.row(r)[j];
            if (std::isnan(v) || (std::isfinite(v) && v == std::trunc(v))) continue;
            reject(std::string(name) + " column " + std::to_string(j) +
                   " is categorical and must hold whole category codes (or NaN), but row " +
                   std::to_string(r) + " holds " + str(v));
        }
    }
}

// What goes wrong in the first round when training starts from the given weights and
// scores (from the start score when `from` is null), or nothing: the start score, the
// gradients, hessians, their sums and the root's Newton value are computed exactly as
// training computes them and must all be finite.
enum class StartFault { kNone, kScore, kGradient, kLeafValue, kBag };

StartFault first_round_fault(const Booster& b, VectorArg y, VectorArg weights,
                             const double* from, double& bad) {
    const auto n = static_cast<int32_t>(y.size);
    const std::vector<double> row_weight = row_weights(weights.data, weights.size, n);
    Model probe;
    probe.n_outputs = b.model.n_outputs;
    std::vector<double> start_scores;
    if (from == nullptr) {
        compute_base_score(probe, b.params, row_weight, y.data, n);
        const std::vector<double> start = b.params.objective == kMulticlass
                                              ? probe.base_scores
                                              : std::vector<double>{probe.base_score};
        for (double s : start) {
            if (!std::isfinite(s)) {
                bad = s;
                return StartFault::kScore;
            }
        }
        start_scores.resize(static_cast<size_t>(n) * start.size());
        for (int64_t r = 0; r < n; ++r) {
            std::copy(start.begin(), start.end(), start_scores.begin() + r * start.size());
        }
        from = start_scores.data();
    }
    const int64_t k = probe.n_outputs;
    std::vector<double> grad(static_cast<size_t>(n) * k), hess(grad.size()), spare;
    compute_gradients(b.params, k, row_weight, from, y.data, n, grad.data(), hess.data(), spare);
    for (int64_t j = 0; j < k; ++j) {
        double G = 0.0, H = 0.0;
        int64_t with_hessian = 0;
        for (int64_t r = 0; r < n; ++r) {
            G += grad[r * k + j];
            H += hess[r * k + j];
            with_hessian += hess[r * k + j] > 0.0 ? 1 : 0;
        }
        if (!std::isfinite(G) || !std::isfinite(H)) {
            bad = std::isfinite(G) ? H : G;
            return StartFault::kGradient;
        }
        const double value = -G / (H + b.params.reg_lambda);
        if (!std::isfinite(value)) {
            bad = H;
            return StartFault::kLeafValue;
        }
        // A round's bag leaves rows out; when it can leave out every row with a hessian,
        // its root has a hessian sum of 0 and no Newton value without reg_lambda.
        if (b.params.reg_lambda == 0.0 && b.params.subsample < 1.0 &&
            with_hessian <= n - bag_size(n, b.params.subsample)) {
            bad = static_cast<double>(with_hessian);
            return StartFault::kBag;
        }
    }
    return StartFault::kNone;
}

std::string start_message(StartFault fault, const char* name, double bad, const Booster& b) {
    switch (fault) {
        case StartFault::kScore:
            return std::string(name) + " makes the start score " + str(bad) +
                   ": its values are too large for the sums training takes";
        case StartFault::kGradient:
            return std::string(name) + " makes the first round's gradient or hessian sum " +
                   str(bad) + ": its values are too large for the sums training takes";
        case StartFault::kBag:
            return std::string(name) + " makes the first round's hessian above 0 in only " +
                   str(bad) + " rows, which a bag of subsample = " + str(b.params.subsample) +
                   " of the rows can leave out: its hessian sum of 0 gives no finite leaf "
                   "value with reg_lambda = 0 (set reg_lambda above 0 or subsample to 1)";
        default:
            return std::string(name) + " makes the first round's hessian sum " + str(bad) +
                   ", which gives no finite leaf value with reg_lambda = " +
                   str(b.params.reg_lambda) +
                   " (give the rows weights of normal size or set reg_lambda above 0)";
    }
}

}  // namespace

void check_training_data(const Booster& b, const MatrixView& X, VectorArg y,
                         VectorArg sample_weight) {
    if (X.n_rows == 0) reject("X has no rows");
    if (y.size != X.n_rows) {
        reject("y has " + std::to_string(y.size) + " entries but X has " +
               std::to_string(X.n_rows) + " rows");
    }
    check_targets(b, y, "y");
    check_category_codes(b, X, "X");
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
    check_category_codes(b, X_val, "X_val");
    if (b.params.objective == kMulticlass) {
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

int64_t check_class_count(const Booster& b, VectorArg y, bool continuing) {
    if (b.params.objective != kMulticlass) return 1;
    if (y.size == 0) return b.model.n_outputs;
    int64_t classes = b.model.n_outputs;
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
    return classes;
}

void check_start(const Booster& b, VectorArg y, VectorArg sample_weight, const double* scores) {
    double bad = 0.0;
    const StartFault weighted = first_round_fault(b, y, sample_weight, scores, bad);
    if (weighted == StartFault::kNone) return;
    if (sample_weight.size == 0) reject(start_message(weighted, "y", bad, b));
    double unweighted_bad = 0.0;
    const StartFault plain = first_round_fault(b, y, VectorArg{}, scores, unweighted_bad);
    if (plain != StartFault::kNone) reject(start_message(plain, "y", unweighted_bad, b));
    reject(start_message(weighted, "sample_weight", bad, b));
}

}  // namespace vorlent
