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
#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "model/node_cover.hpp"
#include "model/predict.hpp"
#include "model/routing.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/grow_node.hpp"

namespace vorlent {
namespace {

// Rows above which the training scores are updated in parallel.
constexpr int64_t kParallelUpdateRows = 2000;
// Room reserved for the nodes of one tree.
constexpr size_t kTreeReserve = 256;

// Adds the leaf that every row of X reaches to its scores.
void add_tree_scores(const Model& m, const Tree& tree, const MatrixView& X, double* scores) {
    const int64_t k = m.n_outputs;
    parallel_blocks(X.n_rows, X.n_rows > kParallelUpdateRows, [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r) {
            add_leaf(m, tree[find_leaf(tree, X.row(r), m.projections)], scores + r * k);
        }
    });
}

// The same update for the training rows of a histogram-builder tree: its partition already
// sent every bag row to its leaf by the routing rule, so only the rows outside the bag
// walk the tree.
void add_tree_scores(const Model& m, const Tree& tree, const MatrixView& X, const TreeWorkspace& ws,
                     const int32_t* out_of_bag, int64_t n_out, double* scores) {
    const int64_t k = m.n_outputs;
    const int64_t n_leaves = static_cast<int64_t>(ws.leaves.size());
    parallel_blocks(n_leaves, X.n_rows > kParallelUpdateRows, [&](int64_t l0, int64_t l1) {
        for (int64_t l = l0; l < l1; ++l) {
            const LeafRange& range = ws.leaves[l];
            const Node& leaf = tree[range.node];
            for (int32_t i = range.begin; i < range.end; ++i) {
                add_leaf(m, leaf, scores + static_cast<int64_t>(ws.rows[i]) * k);
            }
        }
    });
    parallel_blocks(n_out, n_out > kParallelUpdateRows, [&](int64_t r0, int64_t r1) {
        for (int64_t i = r0; i < r1; ++i) {
            const int64_t r = out_of_bag[i];
            add_leaf(m, tree[find_leaf(tree, X.row(r), m.projections)], scores + r * k);
        }
    });
}

// What a fit replaces of the booster: the model, the record of the last fit and the random
// engine. The old model is moved out when the fit begins, so the new one is built in a fresh
// Model at no cost; a fit that fails before its first tree moves it back, which allocates
// nothing and cannot fail.
class FitBackup {
public:
    explicit FitBackup(Booster& b)
        : model_(std::exchange(b.model, Model{})),
          losses_(std::exchange(b.validation_losses, {})),
          best_iteration_(b.best_iteration),
          rng_(b.rng) {}
    void restore(Booster& b) noexcept {
        b.model = std::move(model_);
        b.validation_losses = std::move(losses_);
        b.best_iteration = best_iteration_;
        b.rng = rng_;
    }
    const Model& model() const { return model_; }

private:
    Model model_;
    std::vector<double> losses_;
    int32_t best_iteration_;
    Rng rng_;
};

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

// After a call with early stopping, however it ended: keep the trees up to the best round.
void keep_best_round(Booster& b, bool early_stopping, int32_t best_round) {
    if (!early_stopping) return;
    if (best_round >= 0 && best_round + 1 < b.n_trees()) b.model.keep_first_trees(best_round + 1);
    b.best_iteration = b.n_trees() - 1;
}

}  // namespace

void boost_rounds(Booster& b, const FitState& fit, const MatrixView& X, const double* y,
                  const BinnedMatrix& bins, double* scores, int32_t rounds,
                  const RoundHook& between_rounds, const RoundObserver& observer) {
    const BoosterParams& p = b.params;
    Model& m = b.model;
    const int32_t n_rows = X.n_rows;
    const int64_t k = m.n_outputs;
    const bool early_stopping = fit.es_patience >= 1 && fit.n_val >= 1;
    const bool track_val = early_stopping || (observer && fit.n_val >= 1);
    const MatrixView X_val{fit.X_val.data(), fit.n_val, m.n_features};
    b.validation_losses.clear();
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
    const bool sampling = p.subsample < 1.0;
    const int32_t n_bag = sampling ? bag_size(n_rows, p.subsample) : n_rows;
    TreeWorkspace ws;
    const TreeInput input{&X, &bins, grad.data(), hess.data()};
    const TreeOutputs outputs{&m.importances, m.n_features, &m.projections};
    std::optional<ExactRounds> exact;
    if (p.exact_sums) exact.emplace(X, bins);

    double best_loss = kInf;
    int32_t best_round = -1;
    int32_t stall = 0;
    // The model's facts stay current after every round, so a stop between rounds leaves
    // a usable booster.
    struct Refresh {
        Model& m;
        ~Refresh() { m.refresh_facts(); }
    } refresh{m};
    // The directions that the lineage builder adds while a tree grows belong to no
    // committed tree until the tree is pushed.
    size_t committed_projections = m.projections.size();
    try {
        for (int32_t round = 0; round < rounds; ++round) {
            compute_gradients(p, k, fit.sample_weights, scores, y, n_rows, grad.data(), hess.data(),
                              abs_residuals);
            if (exact) {
                m.trees.push_back(exact->grow(p, fit.tree, m, y, grad.data(), hess.data(), scores));
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
                    refit_quantile_leaves(p.alpha, m.projections, tree, row_perm.data(), n_bag, X,
                                          y, scores);
                }
                if (histogram_builder) {
                    add_tree_scores(m, tree, X, ws, row_perm.data() + n_bag, n_rows - n_bag,
                                    scores);
                } else {
                    add_tree_scores(m, tree, X, scores);
                }
                record_covers(m, tree, ws, histogram_builder, X, row_perm.data(), n_bag);
                m.trees.push_back(std::move(tree));
            }
            committed_projections = m.projections.size();

            if (track_val) add_tree_scores(m, m.trees.back(), X_val, val_scores.data());
            bool stop = false;
            if (early_stopping) {
                const double loss =
                    exact ? exact_validation_loss(p.objective, k, fit.y_val, val_scores.data())
                          : validation_loss(p.objective, k, fit.y_val, val_scores.data());
                b.validation_losses.push_back(loss);
                if (loss < best_loss - fit.es_tol) {
                    best_loss = loss;
                    best_round = b.n_trees() - 1;
                    stall = 0;
                } else {
                    stop = ++stall >= fit.es_patience;
                }
            }
            if (observer) {
                const double* val = track_val ? val_scores.data() : nullptr;
                stop = observer(RoundScores{round, scores, n_rows, val, val ? fit.n_val : 0, k}) ||
                       stop;
            }
            if (stop) break;
            if (between_rounds && round + 1 < rounds) between_rounds();
        }
    } catch (...) {
        m.projections.resize(committed_projections);
        // An interrupted call keeps its complete trees, cut back as early stopping would.
        keep_best_round(b, early_stopping, best_round);
        throw;
    }
    keep_best_round(b, early_stopping, best_round);
}

namespace {

// The validation rows and early stopping's settings of a fit (none without y_val).
void set_validation(FitState& fit, const MatrixView& X_val, VectorArg y_val, int32_t es_patience,
                    double es_tol) {
    fit.n_val = static_cast<int32_t>(y_val.size);
    if (fit.n_val < 1) return;
    fit.X_val.assign(X_val.data, X_val.data + static_cast<int64_t>(X_val.n_rows) * X_val.n_cols);
    fit.y_val.assign(y_val.data, y_val.data + y_val.size);
    fit.es_tol = es_tol;
    fit.es_patience = es_patience;
}

// fit once its arguments are checked and the previous model is moved out: a new model in
// b.model, which starts from `previous`'s start scores (a single-output fit leaves them).
void fit_new_model(Booster& b, const Model& previous, const MatrixView& X, VectorArg y,
                   VectorArg sample_weight, const MatrixView& X_val, VectorArg y_val,
                   int32_t es_patience, double es_tol, const RoundHook& between_rounds,
                   const RoundObserver& observer) {
    const BoosterParams& p = b.params;
    Model& m = b.model;
    m.learning_rate = p.learning_rate;
    m.objective = p.objective;
    m.clip = p.clip;
    m.base_scores = previous.base_scores;
    FitState fit;
    fit.sample_weights = row_weights(sample_weight.data, sample_weight.size, X.n_rows);
    set_validation(fit, X_val, y_val, es_patience, es_tol);
    b.best_iteration = -1;
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
    m.n_features = X.n_cols;
    m.importances.feature_gain.assign(static_cast<size_t>(X.n_cols), 0.0);
    m.importances.coefficient_gain.assign(static_cast<size_t>(X.n_cols), 0.0);
    m.importances.interaction_gain.clear();
    m.refresh_facts();
    b.rng.seed(p.seed);
    boost_rounds(b, fit, X, y.data, bins, scores.data(), p.n_estimators, between_rounds, observer);
}

}  // namespace

void fit(Booster& b, const MatrixView& X, VectorArg y, VectorArg sample_weight,
         const MatrixView& X_val, VectorArg y_val, int32_t es_patience, double es_tol,
         const RoundHook& between_rounds, const RoundObserver& observer) {
    const BoosterParams& p = b.params;
    check_hyper_parameters(p, X.n_cols);
    check_training_data(b, X, y, sample_weight);
    check_class_count(b, y, false);
    check_validation_data(b, X, X_val, y_val, y.data);
    int64_t outputs = 1;
    if (p.objective == kMulticlass) {
        double top = y.data[0];
        for (int64_t i = 1; i < y.size; ++i) top = y.data[i] > top ? y.data[i] : top;
        outputs = target_class(top) + 1;
    }
    const bool early_stopping = y_val.size >= 1 && es_patience >= 1;
    // With early stopping the rounds are open-ended by design (any n_estimators stops once
    // the validation loss stalls): the trees counted are those of the shortest such fit.
    const int64_t rounds = early_stopping
                               ? std::min<int64_t>(p.n_estimators, es_patience + int64_t{1})
                               : p.n_estimators;
    const bool scores_val = y_val.size >= 1 && (es_patience >= 1 || observer);
    check_training_memory(p, FitShape{X.n_rows, X.n_cols, outputs, y_val.size, rounds, scores_val});
    check_start(b, y, sample_weight);

    FitBackup backup(b);
    try {
        fit_new_model(b, backup.model(), X, y, sample_weight, X_val, y_val, es_patience, es_tol,
                      between_rounds, observer);
    } catch (...) {
        if (b.model.trees.empty()) backup.restore(b);
        throw;
    }
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

    // The fields below are all fit_more replaces before its first tree; a failure before
    // that tree puts them back.
    const size_t trees_before = m.trees.size(), covers_before = m.node_covers.size();
    std::vector<double> losses = std::move(b.validation_losses);
    std::vector<double> gain;  // the previous feature_gain once a wider one replaces it
    bool gain_replaced = false;
    try {
        FitState fit;
        fit.sample_weights = row_weights(sample_weight.data, sample_weight.size, X.n_rows);
        fit.tree = tree_params(p, m, column_scales(X));
        const BinnedMatrix bins = build_bins(X, p.max_bins, p.categorical);
        if (static_cast<int64_t>(m.importances.feature_gain.size()) != X.n_cols) {
            std::vector<double>(static_cast<size_t>(X.n_cols), 0.0).swap(gain);
            m.importances.feature_gain.swap(gain);
            gain_replaced = true;
        }
        boost_rounds(b, fit, X, y.data, bins, scores.data(), extra, between_rounds, observer);
    } catch (...) {
        if (m.trees.size() == trees_before) {
            m.node_covers.resize(std::min(m.node_covers.size(), covers_before));
            b.validation_losses = std::move(losses);
            if (gain_replaced) m.importances.feature_gain.swap(gain);
        }
        throw;
    }
}

}  // namespace vorlent
