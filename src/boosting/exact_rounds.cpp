#include "boosting/exact_rounds.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "boosting/exact_start.hpp"
#include "boosting/leaf_scores.hpp"
#include "boosting/objective.hpp"
#include "common/exact_sum.hpp"
#include "common/parallel.hpp"
#include "common/total_order.hpp"
#include "exact/lineage_builder.hpp"
#include "model/importance.hpp"
#include "model/node_cover.hpp"
#include "model/routing.hpp"
#include "prep/shard_quantile.hpp"
#include "prep/shard_select.hpp"

namespace vorlent {

ShardPlan (*g_exact_shard_plan)(int32_t n_rows) = nullptr;

namespace {

// Rows above which score updates run in parallel.
constexpr int64_t kParallelScoreRows = 2000;

// The exact sum of n terms, on the grid of their largest magnitude.
template <class Term>
double exact_total(int64_t n, Term term) {
    double bound = 0.0;
    for (int64_t i = 0; i < n; ++i) bound = std::max(bound, std::fabs(term(i)));
    ExactSum sum(bound);
    for (int64_t i = 0; i < n; ++i) sum.add(term(i));
    return sum.value();
}

}  // namespace

void exact_base_score(Model& model, const BoosterParams& params,
                      const std::vector<double>& weights, const double* y, int32_t n_rows) {
    const double* w = weights.empty() ? nullptr : weights.data();
    const TargetRange range = target_range(y, n_rows);
    const bool weighted = w != nullptr;
    const std::vector<double> bounds = start_bounds(params, range, y, w, weighted, n_rows);
    const std::vector<ExactSum> sums = start_sums(params, range, bounds, y, w, weighted, n_rows);
    decide_start(model, params, range, weighted, sums,
                 [&](uint64_t rank) { return select_value({ColumnShard{y, n_rows}}, rank); });
}

double exact_validation_loss(Objective objective, int64_t n_outputs,
                             const std::vector<double>& y_val, const double* val_scores) {
    const int64_t n = static_cast<int64_t>(y_val.size());
    const int64_t k = objective == kMulticlass ? n_outputs : 1;
    const double sum = exact_total(n, [&](int64_t r) {
        return row_loss(objective, n_outputs, val_scores + r * k, y_val[r]);
    });
    return sum / static_cast<double>(n > 1 ? n : 1);
}

ExactRounds::ExactRounds(const MatrixView& X, const BinnedMatrix& bins)
    : X_(X), bins_(bins), shape_(HistogramShape::of(bins)) {
    if (g_exact_shard_plan != nullptr) {
        plan_ = g_exact_shard_plan(X.n_rows);
    } else {
        plan_.assign(1, std::vector<int32_t>(static_cast<size_t>(X.n_rows)));
        std::iota(plan_[0].begin(), plan_[0].end(), 0);
    }
    // A bound on every value of a column over all training rows, for the lineage builder's
    // grids: a maximum, so it does not depend on the order of the rows.
    column_bound_.assign(static_cast<size_t>(X.n_cols), 0.0);
    for (int32_t r = 0; r < X.n_rows; ++r) {
        const double* row = X.row(r);
        for (int32_t f = 0; f < X.n_cols; ++f) {
            if (std::isfinite(row[f]))
                column_bound_[f] = std::max(column_bound_[f], std::fabs(row[f]));
        }
    }
    shards_.resize(plan_.size());
    for (size_t s = 0; s < plan_.size(); ++s) {
        shards_[s].rows =
            ShardRows{&bins_, X_, plan_[s].data(), static_cast<int64_t>(plan_[s].size()), nullptr};
    }
}

ExactTreeConfig exact_tree_config(const BoosterParams& p, const TreeParams& tree,
                                  const Model& model, const BinnedMatrix& bins) {
    return ExactTreeConfig{&tree, p.subsample, p.seed, model.n_trees(), &bins};
}

Tree ExactRounds::grow(const BoosterParams& p, const TreeParams& tree_params, Model& model,
                       const double* y, const double* grad, const double* hess, double* scores) {
    sources_.clear();
    for (LocalShard& shard : shards_) {
        sources_.push_back(local_source(shard, grad, hess, model.n_outputs, shape_));
    }
    const ExactTreeConfig config = exact_tree_config(p, tree_params, model, bins_);
    ExactTree grown =
        tree_params.max_lineage >= 1
            ? grow_exact_lineage_tree(config, column_bound_, model.projections, sources_, ws_)
            : grow_exact_tree(config, sources_, ws_);
    Tree tree = std::move(grown.tree);
    if (p.objective == kRegression && p.loss == kQuantile) {
        refit_quantile(p.alpha, grown, tree, y, scores);
    }
    add_scores(model, grown, tree, scores);
    credit_tree(model.importances, model.n_features, model.projections, tree);
    if (covers_match(model.trees, model.node_covers)) {
        model.node_covers.push_back(std::move(grown.covers));
    }
    return tree;
}

// Every leaf that bag rows reach takes the alpha-quantile of their residuals, selected
// exactly over the shards' residuals (as keys of the total order, so -0.0 sorts first).
void ExactRounds::refit_quantile(double alpha, const ExactTree& grown, Tree& tree,
                                 const double* y, const double* scores) {
    const size_t n_shards = shards_.size();
    std::vector<std::vector<std::vector<uint64_t>>> keys(
        tree.size(), std::vector<std::vector<uint64_t>>(n_shards));
    for (size_t s = 0; s < n_shards; ++s) {
        const ShardTree& st = shards_[s].tree;
        for (size_t i = 0; i < st.bag.size(); ++i) {
            const int32_t r = st.bag[i];
            keys[grown.tree_index[st.node[i]]][s].push_back(sort_key(y[r] - scores[r]));
        }
    }
    for (size_t leaf = 0; leaf < tree.size(); ++leaf) {
        int64_t m = 0;
        for (const std::vector<uint64_t>& part : keys[leaf]) m += static_cast<int64_t>(part.size());
        if (m == 0) continue;
        tree[leaf].value = key_value(select_ranks(keys[leaf], {leaf_quantile_rank(m, alpha)})[0]);
    }
}

// Bag rows take the leaf their shard routed them to; the other rows walk the tree.
void ExactRounds::add_scores(const Model& model, const ExactTree& grown, const Tree& tree,
                             double* scores) {
    const int64_t k = model.n_outputs;
    const int64_t n = X_.n_rows;
    in_bag_.assign(static_cast<size_t>(n), 0);
    for (LocalShard& shard : shards_) {
        const ShardTree& st = shard.tree;
        const int64_t m = static_cast<int64_t>(st.bag.size());
        parallel_blocks(m, m > kParallelScoreRows, [&](int64_t i0, int64_t i1) {
            for (int64_t i = i0; i < i1; ++i) {
                const int64_t r = st.bag[i];
                in_bag_[r] = 1;
                add_leaf(model, tree[grown.tree_index[st.node[i]]], scores + r * k);
            }
        });
    }
    parallel_blocks(n, n > kParallelScoreRows, [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r) {
            if (in_bag_[r] == 0)
                add_leaf(model, tree[find_leaf(tree, X_.row(r), model.projections)],
                         scores + r * k);
        }
    });
}

}  // namespace vorlent
