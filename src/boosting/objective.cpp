#include "boosting/objective.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include "common/parallel.hpp"
#include "model/predict.hpp"
#include "model/routing.hpp"
#include "prep/shard_quantile.hpp"

namespace vorlent {
namespace {

constexpr double kProbFloor = 1e-12;
constexpr double kProbCeil = 0.999999999999;

double clamp_probability(double p) {
    if (p < kProbFloor) return kProbFloor;
    return p > kProbCeil ? kProbCeil : p;
}

double sigmoid(double f) { return 1.0 / (std::exp(-f) + 1.0); }

// The element at position k of v in ascending order (linear-time selection).
double select_at(std::vector<double>& v, size_t k) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

}  // namespace

int64_t target_class(double y) {
    if (!(y > -1.0 && y < 9.2e18)) return -1;
    return static_cast<int64_t>(y);
}

void compute_base_score(Model& model, const BoosterParams& params,
                        const std::vector<double>& weights, const double* y, int32_t n_rows) {
    const bool weighted = !weights.empty();
    model.clip_low = 0.0;
    model.clip_high = 0.0;
    if (n_rows > 0) {
        model.clip_low = y[0];
        model.clip_high = y[0];
        for (int32_t i = 1; i < n_rows; ++i) {
            if (y[i] < model.clip_low) model.clip_low = y[i];
            if (y[i] > model.clip_high) model.clip_high = y[i];
        }
    }
    double m = 0.0;
    if (n_rows > 0) {
        if (weighted) {
            double swy = 0.0, sw = 0.0;
            for (int32_t i = 0; i < n_rows; ++i) {
                swy += weights[i] * y[i];
                sw += weights[i];
            }
            m = sw > 0.0 ? swy / sw : swy;
        } else {
            double sy = 0.0;
            for (int32_t i = 0; i < n_rows; ++i) sy += y[i];
            m = sy / n_rows;
        }
    }
    if (params.objective == kMulticlass) {
        const int32_t k = static_cast<int32_t>(target_class(model.clip_high)) + 1;
        std::vector<double> count(static_cast<size_t>(k), 0.0);
        double total = 0.0;
        for (int32_t i = 0; i < n_rows; ++i) {
            const int64_t c = target_class(y[i]);
            if (c < 0 || c >= k) continue;
            const double w = weighted ? weights[i] : 1.0;
            count[c] += w;
            total += w;
        }
        set_class_start(model, count, total);
        return;
    }
    set_single_start(model, params, m, [&] {
        std::vector<double> copy(y, y + n_rows);
        return select_at(copy, static_cast<size_t>(n_rows / 2));
    });
}

void set_class_start(Model& model, const std::vector<double>& class_weight, double total) {
    const int32_t k = static_cast<int32_t>(class_weight.size());
    model.n_outputs = k;
    model.base_scores.resize(static_cast<size_t>(k));
    for (int32_t c = 0; c < k; ++c) {
        model.base_scores[c] = std::log((class_weight[c] + 0.001) / (k * 0.001 + total));
    }
    model.base_score = 0.0;
}

void set_single_start(Model& model, const BoosterParams& params, double mean,
                      const std::function<double()>& median) {
    model.n_outputs = 1;
    if (params.objective == kBinary) {
        double p = mean < 1e-6 ? 1e-6 : mean;
        p = p > 0.999999 ? 0.999999 : p;
        model.base_score = std::log(p / (1.0 - p));
    } else if (params.loss == kSquared) {
        model.base_score = mean;
    } else {
        model.base_score = median();
    }
}

void compute_gradients(const BoosterParams& params, int64_t n_outputs,
                       const std::vector<double>& weights, const double* scores, const double* y,
                       int32_t n_rows, double* grad, double* hess,
                       std::vector<double>& abs_residuals, const double* huber_delta) {
    const int64_t n = n_rows;
    const bool weighted = !weights.empty();
    const double* w = weights.data();
    if (params.objective == kMulticlass) {
        const int64_t k = n_outputs;
        const bool parallel = n * k > kParallelGradientValues;
        parallel_blocks(n, parallel, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                const double* f = scores + r * k;
                double* g = grad + r * k;
                double* h = hess + r * k;
                double m = f[0];
                for (int64_t j = 1; j < k; ++j) m = f[j] > m ? f[j] : m;
                double sum = 0.0;
                for (int64_t j = 0; j < k; ++j) {
                    g[j] = std::exp(f[j] - m);
                    sum += g[j];
                }
                const int64_t c = target_class(y[r]);
                for (int64_t j = 0; j < k; ++j) {
                    const double p = g[j] / sum;
                    g[j] = p - (j == c ? 1.0 : 0.0);
                    h[j] = p * (1.0 - p);
                }
            }
        });
        if (weighted) {
            parallel_blocks(n, parallel, [&](int64_t r0, int64_t r1) {
                for (int64_t r = r0; r < r1; ++r) {
                    for (int64_t j = 0; j < k; ++j) {
                        grad[r * k + j] *= w[r];
                        hess[r * k + j] *= w[r];
                    }
                }
            });
        }
        return;
    }
    const bool parallel = n > kParallelGradientRows;
    if (params.objective == kBinary) {
        parallel_blocks(n, parallel, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                const double p = sigmoid(scores[r]);
                grad[r] = p - y[r];
                hess[r] = p * (1.0 - p);
            }
        });
    } else if (params.loss == kHuber) {
        double delta = 0.0;
        if (huber_delta != nullptr) {
            delta = *huber_delta;
        } else if (n > 0) {
            abs_residuals.resize(static_cast<size_t>(n));
            for (int64_t r = 0; r < n; ++r) abs_residuals[r] = std::fabs(scores[r] - y[r]);
            const size_t at = static_cast<size_t>(std::floor((n - 1) * params.alpha));
            delta = select_at(abs_residuals, at);
        }
        if (!(delta > 0.0)) delta = 1e-12;
        parallel_blocks(n, parallel, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                const double d = scores[r] - y[r];
                grad[r] = d > delta ? delta : (d < -delta ? -delta : d);
                hess[r] = 1.0;
            }
        });
    } else if (params.loss == kQuantile) {
        parallel_blocks(n, parallel, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                grad[r] = y[r] - scores[r] > 0.0 ? -params.alpha : 1.0 - params.alpha;
                hess[r] = 1.0;
            }
        });
    } else {
        parallel_blocks(n, parallel, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                grad[r] = scores[r] - y[r];
                hess[r] = 1.0;
            }
        });
    }
    if (weighted) {
        parallel_blocks(n, parallel, [&](int64_t r0, int64_t r1) {
            for (int64_t r = r0; r < r1; ++r) {
                grad[r] *= w[r];
                hess[r] *= w[r];
            }
        });
    }
}

void refit_quantile_leaves(double alpha, const Directions& projections, Tree& tree,
                           const int32_t* bag, int32_t n_bag, const MatrixView& X, const double* y,
                           const double* scores) {
    std::vector<std::vector<double>> residuals(tree.size());
    for (int32_t i = 0; i < n_bag; ++i) {
        const int32_t r = bag[i];
        residuals[find_leaf(tree, X.row(r), projections)].push_back(y[r] - scores[r]);
    }
    for (size_t leaf = 0; leaf < tree.size(); ++leaf) {
        std::vector<double>& list = residuals[leaf];
        if (list.empty()) continue;
        const uint64_t k = leaf_quantile_rank(static_cast<int64_t>(list.size()), alpha);
        tree[leaf].value = select_at(list, static_cast<size_t>(k));
    }
}

double row_loss(Objective objective, int64_t n_outputs, const double* row_scores, double y) {
    if (objective == kBinary) {
        const double p = clamp_probability(sigmoid(row_scores[0]));
        return -(y * std::log(p) + (1.0 - y) * std::log(1.0 - p));
    }
    if (objective == kMulticlass) {
        const int64_t k = n_outputs;
        const double* f = row_scores;
        double m = f[0];
        for (int64_t j = 1; j < k; ++j) m = f[j] > m ? f[j] : m;
        double s = 0.0;
        for (int64_t j = 0; j < k; ++j) s += std::exp(f[j] - m);
        const int64_t c = target_class(y);
        return -std::log(clamp_probability(std::exp(f[c] - m) / s));
    }
    const double d = row_scores[0] - y;
    return d * d;
}

double validation_loss(Objective objective, int64_t n_outputs, const std::vector<double>& y_val,
                       const double* val_scores) {
    const int64_t n = static_cast<int64_t>(y_val.size());
    const int64_t k = objective == kMulticlass ? n_outputs : 1;
    double sum = 0.0;
    for (int64_t r = 0; r < n; ++r) {
        sum += row_loss(objective, n_outputs, val_scores + r * k, y_val[r]);
    }
    return sum / static_cast<double>(n > 1 ? n : 1);
}

double loss_bound(Objective objective, int64_t n_outputs, const double* y, int64_t n,
                  const double* scores) {
    double bound = 0.0;
    for (int64_t r = 0; r < n; ++r) {
        const double loss = row_loss(objective, n_outputs, scores + r * n_outputs, y[r]);
        bound = std::max(bound, std::fabs(loss));
    }
    return bound;
}

ExactSum loss_sum(Objective objective, int64_t n_outputs, const double* y, int64_t n,
                  const double* scores, double bound) {
    ExactSum sum(bound);
    for (int64_t r = 0; r < n; ++r) {
        sum.add(row_loss(objective, n_outputs, scores + r * n_outputs, y[r]));
    }
    return sum;
}

}  // namespace vorlent
