#include "boosting/train.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "boosting/bag_size.hpp"
#include "boosting/exact_rounds.hpp"
#include "boosting/fit_checks.hpp"
#include "boosting/fit_memory.hpp"
#include "boosting/fit_state.hpp"
#include "boosting/leaf_scores.hpp"
#include "boosting/objective.hpp"
#include "boosting/round_loop.hpp"
#include "common/numeric.hpp"
#include "model/node_cover.hpp"
#include "model/predict.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/grow_node.hpp"

namespace vorlent {

namespace {

// Room reserved for the nodes of one tree.
constexpr size_t kTreeReserve = 256;

// The leaf of every bag row of a histogram-builder tree, as its partition sent them by the
// routing rule (-1 for the rows outside the bag).
void route_bag(const TreeWorkspace& ws, std::vector<int32_t>& routed) {
    std::fill(routed.begin(), routed.end(), -1);
    for (const LeafRange& range : ws.leaves) {
        for (int32_t i = range.begin; i < range.end; ++i) routed[ws.rows[i]] = range.node;
    }
}

// Appends the new tree's node covers: the bag rows that reached each node. A model whose
// covers are already out of step (one loaded from bytes) gets none.
void record_covers(Model& m, const Tree& tree, const TreeWorkspace& ws, bool histogram_builder,
                   const MatrixView& X, const int32_t* bag, int32_t n_bag) {
    if (!covers_match(m.trees, m.node_covers)) return;
    if (!histogram_builder) {
        m.node_covers.push_back(count_node_visits(tree, m.projections, X, bag, n_bag));
        return;
    }
    std::vector<double> cover(tree.size(), 0.0);
    for (const LeafRange& range : ws.leaves) {
        cover[static_cast<size_t>(range.node)] = static_cast<double>(range.end - range.begin);
    }
    sum_covers_upward(tree, cover);
    m.node_covers.push_back(std::move(cover));
}

// The in-memory path's round steps: gradients, the row bag, one tree grown row by row (or
// with exact sums), quantile leaves and score updates. With an observer and a validation set
// the validation scores are kept current every round, early stopping or not.
void boost_rounds(Booster& b, const FitState& fit, const MatrixView& X, const double* y,
                  const BinnedMatrix& bins, double* scores, int32_t rounds,
                  const RoundWatch& watch) {
    const BoosterParams& p = b.params;
    Model& m = b.model;
    const int32_t n_rows = X.n_rows;
    const int64_t k = m.n_outputs;
    const bool track_val = watch.scores_validation();
    const MatrixView X_val{fit.X_val.data(), fit.n_val, m.n_features};
    std::vector<double> val_scores;
    if (track_val) {
        val_scores.resize(static_cast<size_t>(fit.n_val) * k);
        predict_scores(m, X_val, val_scores.data());
    }
    std::vector<double> grad(static_cast<size_t>(n_rows) * k, 0.0);
    std::vector<double> hess(static_cast<size_t>(n_rows) * k, 0.0);
    std::vector<int32_t> row_perm(static_cast<size_t>(n_rows));
    std::iota(row_perm.begin(), row_perm.end(), 0);
    std::vector<double> abs_residuals;
    std::vector<int32_t> routed(static_cast<size_t>(n_rows));
    const bool sampling = p.subsample < 1.0;
    const int32_t n_bag = sampling ? bag_size(n_rows, p.subsample) : n_rows;
    TreeWorkspace ws;
    const TreeInput input{&X, &bins, grad.data(), hess.data()};
    const TreeOutputs outputs{&m.importances, m.n_features, &m.projections};
    std::optional<ExactRounds> exact;
    if (p.exact_sums) exact.emplace(X, bins);

    RoundSteps steps;
    steps.grow = [&] {
        compute_gradients(p, k, fit.sample_weights, scores, y, n_rows, grad.data(), hess.data(),
                          abs_residuals);
        if (exact) {
            exact->grow(p, fit.tree, m, y, grad.data(), hess.data(), scores);
        } else {
            if (sampling) shuffle_indices(row_perm, b.rng);
            ws.rows.assign(row_perm.begin(), row_perm.begin() + n_bag);

            Tree tree;
            tree.reserve(kTreeReserve);
            const bool histogram_builder = p.max_lineage <= 0;
            if (histogram_builder) {
                ws.leaves.clear();
                grow_node(tree, input, 0, n_bag, 0, fit.tree, b.rng, outputs, -kInf, kInf, ws);
            } else {
                grow_lineage_tree(tree, X, grad.data(), hess.data(), ws.rows, fit.tree, b.rng,
                                  outputs);
            }
            if (p.objective == kRegression && p.loss == kQuantile) {
                refit_quantile_leaves(p.alpha, m.projections, tree, row_perm.data(), n_bag, X, y,
                                      scores);
            }
            if (histogram_builder) route_bag(ws, routed);
            add_tree_scores(m, tree, X, histogram_builder ? routed.data() : nullptr, scores);
            record_covers(m, tree, ws, histogram_builder, X, row_perm.data(), n_bag);
            m.trees.push_back(std::move(tree));
        }
        if (track_val) add_tree_scores(m, m.trees.back(), X_val, nullptr, val_scores.data());
    };
    steps.validation_loss = [&] {
        return exact ? exact_validation_loss(p.objective, k, fit.y_val, val_scores.data())
                     : validation_loss(p.objective, k, fit.y_val, val_scores.data());
    };
    steps.scores = [&](int32_t round) {
        const double* val = track_val ? val_scores.data() : nullptr;
        return RoundScores{round, scores, n_rows, val, val ? fit.n_val : 0, k};
    };
    RoundLoop(b, watch).run(rounds, steps);
}

// The validation rows of a fit (none without y_val).
void set_validation(FitState& fit, const MatrixView& X_val, VectorArg y_val) {
    fit.n_val = static_cast<int32_t>(y_val.size);
    if (fit.n_val < 1) return;
    fit.X_val.assign(X_val.data, X_val.data + static_cast<int64_t>(X_val.n_rows) * X_val.n_cols);
    fit.y_val.assign(y_val.data, y_val.data + y_val.size);
}

// fit once its arguments are checked and the previous model is moved out: a new model in
// b.model, which starts from `previous`'s start scores (a single-output fit leaves them).
void fit_new_model(Booster& b, const Model& previous, const MatrixView& X, VectorArg y,
                   VectorArg sample_weight, const MatrixView& X_val, VectorArg y_val,
                   const RoundWatch& watch) {
    const BoosterParams& p = b.params;
    Model& m = b.model;
    m = new_model(p, previous);
    FitState fit;
    fit.sample_weights = row_weights(sample_weight.data, sample_weight.size, X.n_rows);
    set_validation(fit, X_val, y_val);
    const BinnedMatrix bins = build_bins(X, p.max_bins, p.categorical);
    if (p.exact_sums) {
        exact_base_score(m, p, fit.sample_weights, y.data, X.n_rows);
    } else {
        compute_base_score(m, p, fit.sample_weights, y.data, X.n_rows);
    }
    fit.tree = tree_params(p, m, column_scales(X));

    const int64_t k = m.n_outputs;
    std::vector<double> scores(static_cast<size_t>(X.n_rows) * k);
    for (int64_t r = 0; r < X.n_rows; ++r) {
        for (int64_t j = 0; j < k; ++j) {
            scores[r * k + j] = p.objective == kMulticlass ? m.base_scores[j] : m.base_score;
        }
    }
    open_new_model(b, X.n_cols);
    boost_rounds(b, fit, X, y.data, bins, scores.data(), p.n_estimators, watch);
}

}  // namespace

void fit(Booster& b, const MatrixView& X, VectorArg y, VectorArg sample_weight,
         const MatrixView& X_val, VectorArg y_val, int32_t es_patience, double es_tol,
         const RoundHook& between_rounds, const RoundObserver& observer) {
    const BoosterParams& p = b.params;
    check_hyper_parameters(p, X.n_cols);
    check_training_data(b, X, y, sample_weight);
    const int64_t outputs = check_class_count(b, y, false);
    check_validation_data(b, X, X_val, y_val, y.data);
    const RoundWatch watch{y_val.size, es_patience, es_tol, observer, between_rounds};
    // With early stopping the rounds are open-ended by design (any n_estimators stops once
    // the validation loss stalls): the trees counted are those of the shortest such fit.
    const int64_t rounds = watch.early_stopping()
                               ? std::min<int64_t>(p.n_estimators, es_patience + int64_t{1})
                               : p.n_estimators;
    check_training_memory(p, FitShape{X.n_rows, X.n_cols, outputs, y_val.size, rounds,
                                      watch.scores_validation()});
    check_start(b, y, sample_weight);

    FitRollback rollback(b, true);
    rollback.guard(b, [&] {
        fit_new_model(b, rollback.previous(), X, y, sample_weight, X_val, y_val, watch);
    });
}

void fit_more(Booster& b, const MatrixView& X, VectorArg y, int32_t extra, VectorArg sample_weight,
              const RoundHook& between_rounds, const RoundObserver& observer) {
    const BoosterParams& p = b.params;
    Model& m = b.model;
    if (extra <= 0 || m.trees.empty()) return;
    check_hyper_parameters(p, X.n_cols);
    if (X.n_cols != m.n_features) {
        throw std::invalid_argument("X has " + std::to_string(X.n_cols) +
                                    " columns but the model was trained on " +
                                    std::to_string(m.n_features));
    }
    check_training_data(b, X, y, sample_weight);
    check_class_count(b, y, true);
    if (p.objective == kMulticlass) {
        for (int64_t i = 0; i < y.size; ++i) {
            if (target_class(y.data[i]) >= m.n_outputs) {
                throw std::invalid_argument("y entry " + std::to_string(i) +
                                            " is a class the model does not have (it has " +
                                            std::to_string(m.n_outputs) + " classes)");
            }
        }
    }

    check_training_memory(p, FitShape{X.n_rows, X.n_cols, m.n_outputs, 0, extra, false});
    // The scores the model gives now: the first round must be able to start from them.
    std::vector<double> scores(static_cast<size_t>(X.n_rows) * m.n_outputs);
    predict_scores(m, X, scores.data());
    check_start(b, y, sample_weight, scores.data());

    const RoundWatch watch{0, 0, 0.0, observer, between_rounds};
    FitRollback rollback(b, false);
    rollback.guard(b, [&] {
        FitState fit;
        fit.sample_weights = row_weights(sample_weight.data, sample_weight.size, X.n_rows);
        fit.tree = tree_params(p, m, column_scales(X));
        const BinnedMatrix bins = build_bins(X, p.max_bins, p.categorical);
        if (static_cast<int64_t>(m.importances.feature_gain.size()) != X.n_cols) {
            m.importances.feature_gain.assign(static_cast<size_t>(X.n_cols), 0.0);
        }
        boost_rounds(b, fit, X, y.data, bins, scores.data(), extra, watch);
    });
}

}  // namespace vorlent
