#include "boosting/train.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

#include "boosting/fit_checks.hpp"
#include "boosting/fit_memory.hpp"
#include "boosting/objective.hpp"
#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "exact/exact_round.hpp"
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

// Adds learning_rate times a leaf's value (or values) to the scores of one row.
inline void add_leaf(const Booster& b, const Node& leaf, double* row_scores) {
    if (b.objective != kMulticlass) {
        row_scores[0] += b.learning_rate * leaf.value;
        return;
    }
    const int64_t k = b.n_outputs;
    if (static_cast<int64_t>(leaf.leaf_values.size()) != k) return;
    for (int64_t j = 0; j < k; ++j) row_scores[j] += b.learning_rate * leaf.leaf_values[j];
}

// Adds the leaf that every row of X reaches to its scores.
void add_tree_scores(const Booster& b, const Tree& tree, const MatrixView& X, double* scores) {
    const int64_t k = b.n_outputs;
    parallel_blocks(X.n_rows, X.n_rows > kParallelUpdateRows, [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r) {
            add_leaf(b, tree[find_leaf(tree, X.row(r), b.projections)], scores + r * k);
        }
    });
}

// The same update for the training rows of a histogram-builder tree: its partition already
// sent every bag row to its leaf by the routing rule, so only the rows outside the bag
// walk the tree.
void add_tree_scores(const Booster& b, const Tree& tree, const MatrixView& X,
                     const TreeWorkspace& ws, const int32_t* out_of_bag, int64_t n_out,
                     double* scores) {
    const int64_t k = b.n_outputs;
    const int64_t n_leaves = static_cast<int64_t>(ws.leaves.size());
    parallel_blocks(n_leaves, X.n_rows > kParallelUpdateRows, [&](int64_t l0, int64_t l1) {
        for (int64_t l = l0; l < l1; ++l) {
            const LeafRange& range = ws.leaves[l];
            const Node& leaf = tree[range.node];
            for (int32_t i = range.begin; i < range.end; ++i) {
                add_leaf(b, leaf, scores + static_cast<int64_t>(ws.rows[i]) * k);
            }
        }
    });
    parallel_blocks(n_out, n_out > kParallelUpdateRows, [&](int64_t r0, int64_t r1) {
        for (int64_t i = r0; i < r1; ++i) {
            const int64_t r = out_of_bag[i];
            add_leaf(b, tree[find_leaf(tree, X.row(r), b.projections)], scores + r * k);
        }
    });
}

// What a fit replaces of the booster. The vectors are swapped out when the fit begins, so
// the new state is built in emptied fields at no cost; a fit that fails before its first
// tree swaps them back, which allocates nothing and cannot fail.
class FitBackup {
public:
    explicit FitBackup(Booster& b)
        : base_scores_(b.base_scores), scalars_(Scalars::of(b)), rng_(b.rng) {
        exchange(b);
    }
    void restore(Booster& b) noexcept {
        exchange(b);
        b.base_scores.swap(base_scores_);
        scalars_.put(b);
        b.rng = rng_;
    }

private:
    struct Scalars {
        int32_t n_val, es_patience, best_iteration, hist_bins, n_features, n_outputs;
        int32_t required_width, deepest_path;
        double es_tol, base_score, clip_low, clip_high;
        static Scalars of(const Booster& b) {
            return {b.n_val,       b.es_patience,    b.best_iteration, b.hist_bins,
                    b.n_features,  b.n_outputs,      b.required_width, b.deepest_path,
                    b.es_tol,      b.base_score,     b.clip_low,       b.clip_high};
        }
        void put(Booster& b) const {
            b.n_val = n_val;
            b.es_patience = es_patience;
            b.best_iteration = best_iteration;
            b.hist_bins = hist_bins;
            b.n_features = n_features;
            b.n_outputs = n_outputs;
            b.required_width = required_width;
            b.deepest_path = deepest_path;
            b.es_tol = es_tol;
            b.base_score = base_score;
            b.clip_low = clip_low;
            b.clip_high = clip_high;
        }
    };
    void exchange(Booster& b) noexcept {
        b.sample_weights.swap(sample_weights_);
        b.X_val.swap(X_val_);
        b.y_val.swap(y_val_);
        b.feature_scale.swap(feature_scale_);
        b.trees.swap(trees_);
        b.feature_gain.swap(feature_gain_);
        b.coefficient_gain.swap(coefficient_gain_);
        b.interaction_gain.swap(interaction_gain_);
        b.projections.swap(projections_);
        b.packed.swap(packed_);
        b.validation_losses.swap(validation_losses_);
        b.node_covers.swap(node_covers_);
    }

    // fit leaves base_scores alone for single-output objectives, so it is copied.
    std::vector<double> base_scores_;
    Scalars scalars_;
    Rng rng_;
    std::vector<double> sample_weights_, X_val_, y_val_, feature_scale_;
    std::vector<Tree> trees_;
    std::vector<double> feature_gain_, coefficient_gain_, interaction_gain_;
    Directions projections_;
    std::vector<PackedTree> packed_;
    std::vector<double> validation_losses_;
    std::vector<std::vector<double>> node_covers_;
};

// Appends the new tree's node covers: the bag rows that reached each node. A model whose
// covers are already out of step (one loaded from bytes) gets none.
void record_covers(Booster& b, const Tree& tree, const TreeWorkspace& ws, bool histogram_builder,
                   const MatrixView& X, const int32_t* bag, int32_t n_bag) {
    if (!covers_match(b.trees, b.node_covers)) return;
    if (!histogram_builder) {
        b.node_covers.push_back(count_node_visits(tree, b.projections, X, bag, n_bag));
        return;
    }
    std::vector<double> cover(tree.size(), 0.0);
    for (const LeafRange& range : ws.leaves) {
        cover[static_cast<size_t>(range.node)] = static_cast<double>(range.end - range.begin);
    }
    sum_covers_upward(tree, cover);
    b.node_covers.push_back(std::move(cover));
}

// After a call with early stopping, however it ended: keep the trees up to the best round.
void keep_best_round(Booster& b, bool early_stopping, int32_t best_round) {
    if (!early_stopping) return;
    if (best_round >= 0 && best_round + 1 < b.n_trees()) b.keep_first_trees(best_round + 1);
    b.best_iteration = b.n_trees() - 1;
}

}  // namespace

int32_t bag_size(int32_t n_rows, double subsample) {
    const double wanted = std::trunc(static_cast<double>(n_rows) * subsample);
    return wanted >= 1.0 ? static_cast<int32_t>(std::min<double>(wanted, n_rows)) : 1;
}

void boost_rounds(Booster& b, const MatrixView& X, const double* y, const BinnedMatrix& bins,
                  double* scores, int32_t rounds, const RoundHook& between_rounds,
                  const RoundObserver& observer) {
    const int32_t n_rows = X.n_rows;
    const int64_t k = b.n_outputs;
    const bool early_stopping = b.es_patience >= 1 && b.n_val >= 1;
    const bool track_val = early_stopping || (observer && b.n_val >= 1);
    const MatrixView X_val{b.X_val.data(), b.n_val, b.n_features};
    b.validation_losses.clear();
    std::vector<double> val_scores;
    if (track_val) {
        val_scores.resize(static_cast<size_t>(b.n_val) * k);
        predict_scores(b, X_val, val_scores.data());
    }
    std::vector<double> grad(static_cast<size_t>(n_rows) * k, 0.0);
    std::vector<double> hess(static_cast<size_t>(n_rows) * k, 0.0);
    std::vector<int32_t> row_perm(static_cast<size_t>(n_rows));
    std::iota(row_perm.begin(), row_perm.end(), 0);
    std::vector<double> abs_residuals;
    const bool sampling = b.subsample < 1.0;
    const int32_t n_bag = sampling ? bag_size(n_rows, b.subsample) : n_rows;
    TreeWorkspace ws;
    const TreeInput input{&X, &bins, grad.data(), hess.data()};
    std::optional<ExactRounds> exact;
    if (b.exact_sums) exact.emplace(X, bins);

    double best_loss = kInf;
    int32_t best_round = -1;
    int32_t stall = 0;
    // The model's facts stay current after every round, so a stop between rounds leaves
    // a usable booster.
    struct Refresh {
        Booster& b;
        ~Refresh() { b.refresh_model_facts(); }
    } refresh{b};
    // The directions that the lineage builder adds while a tree grows belong to no
    // committed tree until the tree is pushed.
    size_t committed_projections = b.projections.size();
    try {
        for (int32_t round = 0; round < rounds; ++round) {
            compute_gradients(b, scores, y, n_rows, grad.data(), hess.data(), abs_residuals);
            if (exact) {
                b.trees.push_back(exact->grow(b, y, grad.data(), hess.data(), scores));
            } else {
                if (sampling) shuffle_indices(row_perm, b.rng);
                ws.rows.assign(row_perm.begin(), row_perm.begin() + n_bag);

                Tree tree;
                tree.reserve(kTreeReserve);
                const bool histogram_builder = b.max_lineage <= 0;
                if (histogram_builder) {
                    ws.leaves.clear();
                    grow_node(tree, input, 0, n_bag, 0, b, -kInf, kInf, ws);
                } else {
                    grow_lineage_tree(tree, X, grad.data(), hess.data(), ws.rows, b);
                }
                if (b.objective == kRegression && b.loss == kQuantile) {
                    refit_quantile_leaves(b, tree, row_perm.data(), n_bag, X, y, scores);
                }
                if (histogram_builder) {
                    add_tree_scores(b, tree, X, ws, row_perm.data() + n_bag, n_rows - n_bag,
                                    scores);
                } else {
                    add_tree_scores(b, tree, X, scores);
                }
                record_covers(b, tree, ws, histogram_builder, X, row_perm.data(), n_bag);
                b.trees.push_back(std::move(tree));
            }
            committed_projections = b.projections.size();

            if (track_val) add_tree_scores(b, b.trees.back(), X_val, val_scores.data());
            bool stop = false;
            if (early_stopping) {
                const double loss = exact ? exact_validation_loss(b, val_scores.data())
                                          : validation_loss(b, val_scores.data());
                b.validation_losses.push_back(loss);
                if (loss < best_loss - b.es_tol) {
                    best_loss = loss;
                    best_round = b.n_trees() - 1;
                    stall = 0;
                } else {
                    stop = ++stall >= b.es_patience;
                }
            }
            if (observer) {
                const double* val = track_val ? val_scores.data() : nullptr;
                stop =
                    observer(RoundScores{round, scores, n_rows, val, val ? b.n_val : 0, k}) || stop;
            }
            if (stop) break;
            if (between_rounds && round + 1 < rounds) between_rounds();
        }
    } catch (...) {
        b.projections.resize(committed_projections);
        // An interrupted call keeps its complete trees, cut back as early stopping would.
        keep_best_round(b, early_stopping, best_round);
        throw;
    }
    keep_best_round(b, early_stopping, best_round);
}

namespace {

// fit once its arguments are checked and the previous model is swapped out.
void fit_new_model(Booster& b, const MatrixView& X, VectorArg y, VectorArg sample_weight,
                   const MatrixView& X_val, VectorArg y_val, int32_t es_patience, double es_tol,
                   const RoundHook& between_rounds, const RoundObserver& observer) {
    b.load_sample_weights(sample_weight.data, sample_weight.size, X.n_rows);
    b.n_val = static_cast<int32_t>(y_val.size);
    if (b.n_val >= 1) {
        b.X_val.assign(X_val.data, X_val.data + static_cast<int64_t>(X_val.n_rows) * X_val.n_cols);
        b.y_val.assign(y_val.data, y_val.data + y_val.size);
        b.es_tol = es_tol;
        b.es_patience = es_patience;
    } else {
        b.X_val.clear();
        b.y_val.clear();
        b.es_patience = 0;
    }
    b.best_iteration = -1;
    b.hist_bins = std::max(b.max_bins, 2);
    b.compute_feature_scale(X);
    const BinnedMatrix bins = build_bins(X, b.max_bins, b.categorical);
    if (b.exact_sums) {
        exact_base_score(b, y.data, X.n_rows);
    } else {
        compute_base_score(b, y.data, X.n_rows);
    }

    const int64_t k = b.n_outputs;
    std::vector<double> scores(static_cast<size_t>(X.n_rows) * k);
    for (int64_t r = 0; r < X.n_rows; ++r) {
        for (int64_t j = 0; j < k; ++j) {
            scores[r * k + j] = b.objective == kMulticlass ? b.base_scores[j] : b.base_score;
        }
    }
    b.trees.clear();
    b.node_covers.clear();
    b.n_features = X.n_cols;
    b.feature_gain.assign(static_cast<size_t>(X.n_cols), 0.0);
    b.coefficient_gain.assign(static_cast<size_t>(X.n_cols), 0.0);
    b.interaction_gain.assign(static_cast<size_t>(X.n_cols) * X.n_cols, 0.0);
    b.projections.clear();
    b.refresh_model_facts();
    b.rng.seed(b.seed);
    boost_rounds(b, X, y.data, bins, scores.data(), b.n_estimators, between_rounds, observer);
}

}  // namespace

void fit(Booster& b, const MatrixView& X, VectorArg y, VectorArg sample_weight,
         const MatrixView& X_val, VectorArg y_val, int32_t es_patience, double es_tol,
         const RoundHook& between_rounds, const RoundObserver& observer) {
    check_hyper_parameters(b, X.n_cols);
    if (b.exact_sums) check_exact_settings(b);
    check_training_data(b, X, y, sample_weight);
    check_class_count(b, y, false);
    check_validation_data(b, X, X_val, y_val, y.data);
    int64_t outputs = 1;
    if (b.objective == kMulticlass) {
        double top = y.data[0];
        for (int64_t i = 1; i < y.size; ++i) top = y.data[i] > top ? y.data[i] : top;
        outputs = target_class(top) + 1;
    }
    const bool early_stopping = y_val.size >= 1 && es_patience >= 1;
    // With early stopping the rounds are open-ended by design (any n_estimators stops once
    // the validation loss stalls): the trees counted are those of the shortest such fit.
    const int64_t rounds = early_stopping ? std::min<int64_t>(b.n_estimators, es_patience + int64_t{1})
                                          : b.n_estimators;
    const bool scores_val = y_val.size >= 1 && (es_patience >= 1 || observer);
    check_training_memory(
        b, FitShape{X.n_rows, X.n_cols, outputs, y_val.size, rounds, false, scores_val});
    check_start(b, y, sample_weight);

    FitBackup backup(b);
    try {
        fit_new_model(b, X, y, sample_weight, X_val, y_val, es_patience, es_tol, between_rounds,
                      observer);
    } catch (...) {
        if (b.trees.empty()) backup.restore(b);
        throw;
    }
}

void fit_more(Booster& b, const MatrixView& X, VectorArg y, int32_t extra, VectorArg sample_weight,
              const RoundHook& between_rounds, const RoundObserver& observer) {
    if (extra <= 0 || b.trees.empty()) return;
    check_hyper_parameters(b, X.n_cols);
    if (b.exact_sums) check_exact_settings(b);
    if (X.n_cols != b.n_features) {
        throw std::invalid_argument("X has " + std::to_string(X.n_cols) +
                                    " columns but the model was trained on " +
                                    std::to_string(b.n_features));
    }
    check_training_data(b, X, y, sample_weight);
    check_class_count(b, y, true);
    if (b.objective == kMulticlass) {
        for (int64_t i = 0; i < y.size; ++i) {
            if (target_class(y.data[i]) >= b.n_outputs) {
                throw std::invalid_argument("y entry " + std::to_string(i) +
                                            " is a class the model does not have (it has " +
                                            std::to_string(b.n_outputs) + " classes)");
            }
        }
    }

    check_training_memory(b, FitShape{X.n_rows, X.n_cols, b.n_outputs, 0, extra, true, false});
    // The scores the model gives now: the first round must be able to start from them.
    std::vector<double> scores(static_cast<size_t>(X.n_rows) * b.n_outputs);
    predict_scores(b, X, scores.data());
    check_start(b, y, sample_weight, scores.data());

    // The fields below are all fit_more replaces before its first tree; a failure before
    // that tree puts them back.
    const size_t trees_before = b.trees.size(), covers_before = b.node_covers.size();
    std::vector<double> weights = std::move(b.sample_weights);
    std::vector<double> scale = std::move(b.feature_scale);
    std::vector<double> losses = std::move(b.validation_losses);
    std::vector<double> gain;  // the previous feature_gain once a wider one replaces it
    bool gain_replaced = false;
    const int32_t n_val = b.n_val, es_patience = b.es_patience, hist_bins = b.hist_bins;
    try {
        b.load_sample_weights(sample_weight.data, sample_weight.size, X.n_rows);
        b.hist_bins = std::max(b.max_bins, 2);
        b.compute_feature_scale(X);
        const BinnedMatrix bins = build_bins(X, b.max_bins, b.categorical);
        if (static_cast<int64_t>(b.feature_gain.size()) != X.n_cols) {
            std::vector<double>(static_cast<size_t>(X.n_cols), 0.0).swap(gain);
            b.feature_gain.swap(gain);
            gain_replaced = true;
        }
        b.n_val = 0;
        b.es_patience = 0;
        boost_rounds(b, X, y.data, bins, scores.data(), extra, between_rounds, observer);
    } catch (...) {
        if (b.trees.size() == trees_before) {
            b.node_covers.resize(std::min(b.node_covers.size(), covers_before));
            b.sample_weights = std::move(weights);
            b.feature_scale = std::move(scale);
            b.validation_losses = std::move(losses);
            if (gain_replaced) b.feature_gain.swap(gain);
            b.n_val = n_val;
            b.es_patience = es_patience;
            b.hist_bins = hist_bins;
        }
        throw;
    }
}

}  // namespace vorlent
