#include "boosting/exact_rounds.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "boosting/exact_start.hpp"
#include "boosting/leaf_scores.hpp"
#include "boosting/objective.hpp"
#include "common/exact_sum.hpp"
#include "common/total_order.hpp"
#include "exact/lineage_builder.hpp"
#include "model/importance.hpp"
#include "model/node_cover.hpp"
#include "prep/shard_quantile.hpp"
#include "prep/shard_select.hpp"

namespace vorlent {

ShardPlan (*g_exact_shard_plan)(int32_t n_rows) = nullptr;

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
    const auto n = static_cast<int64_t>(y_val.size());
    const double bound = loss_bound(objective, n_outputs, y_val.data(), n, val_scores);
    return loss_sum(objective, n_outputs, y_val.data(), n, val_scores, bound).value() /
           static_cast<double>(n > 1 ? n : 1);
}

ExactRounds::ExactRounds(const MatrixView& X, const BinnedMatrix& bins)
    : X_(X), bins_(bins), shape_(HistogramShape::of(bins)) {
    if (g_exact_shard_plan != nullptr) {
        plan_ = g_exact_shard_plan(X.n_rows);
    } else {
        plan_.assign(1, std::vector<int32_t>(static_cast<size_t>(X.n_rows)));
        std::iota(plan_[0].begin(), plan_[0].end(), 0);
    }
    column_bound_ = column_bounds(X);
    shards_.resize(plan_.size());
    for (size_t s = 0; s < plan_.size(); ++s) {
        shards_[s].rows =
            ShardRows{&bins_, X_, plan_[s].data(), static_cast<int64_t>(plan_[s].size()), nullptr};
    }
}

std::vector<double> column_bounds(const RowView& X) {
    std::vector<double> bound(static_cast<size_t>(X.n_cols), 0.0);
    for (int64_t r = 0; r < X.n_rows; ++r) {
        const double* row = X.row(r);
        for (int32_t f = 0; f < X.n_cols; ++f) {
            if (std::isfinite(row[f])) bound[f] = std::max(bound[f], std::fabs(row[f]));
        }
    }
    return bound;
}

ExactTree grow_exact_round(const BoosterParams& p, const TreeParams& tree, Model& model,
                           const BinnedMatrix& bins, const std::vector<double>& column_bound,
                           std::vector<ShardSource>& sources, LevelWorkspace& ws) {
    const ExactTreeConfig config{&tree, p.subsample, p.seed, model.n_trees(), &bins};
    return tree.max_lineage >= 1
               ? grow_exact_lineage_tree(config, column_bound, model.projections, sources, ws)
               : grow_exact_tree(config, sources, ws);
}

void append_exact_tree(Model& model, ExactTree& grown) {
    credit_tree(model.importances, model.n_features, model.projections, grown.tree);
    if (covers_match(model.trees, model.node_covers)) {
        model.node_covers.push_back(std::move(grown.covers));
    }
    model.trees.push_back(std::move(grown.tree));
}

void ExactRounds::grow(const BoosterParams& p, const TreeParams& tree_params, Model& model,
                       const double* y, const double* grad, const double* hess, double* scores) {
    sources_.clear();
    for (LocalShard& shard : shards_) {
        sources_.push_back(local_source(shard, grad, hess, model.n_outputs, shape_));
    }
    ExactTree grown =
        grow_exact_round(p, tree_params, model, bins_, column_bound_, sources_, ws_);
    if (p.objective == kRegression && p.loss == kQuantile) {
        refit_quantile(p.alpha, grown, y, scores);
    }
    // Bag rows take the leaf their shard routed them to; the other rows walk the tree.
    routed_.assign(static_cast<size_t>(X_.n_rows), -1);
    for (const LocalShard& shard : shards_) {
        const ShardTree& st = shard.tree;
        for (size_t i = 0; i < st.bag.size(); ++i) {
            routed_[st.bag[i]] = grown.tree_index[st.node[i]];
        }
    }
    add_tree_scores(model, grown.tree, X_, routed_.data(), scores);
    append_exact_tree(model, grown);
}

void refit_quantile_leaves(double alpha, ExactTree& grown, const LeafResidualCounts& count) {
    std::vector<int32_t> nodes;
    std::vector<RankSelection> selections;
    for (size_t id = 0; id < grown.tree_index.size(); ++id) {
        const int32_t at = grown.tree_index[id];
        if (at < 0 || !grown.tree[at].is_leaf) continue;
        const auto m = static_cast<int64_t>(grown.covers[at]);
        if (m == 0) continue;
        nodes.push_back(static_cast<int32_t>(id));
        selections.emplace_back(std::vector<uint64_t>{leaf_quantile_rank(m, alpha)});
    }
    while (true) {
        std::vector<int32_t> asked;
        std::vector<SelectRound> rounds;
        for (size_t j = 0; j < nodes.size(); ++j) {
            if (selections[j].done()) continue;
            asked.push_back(static_cast<int32_t>(j));
            rounds.push_back(selections[j].round());
        }
        if (asked.empty()) break;
        std::vector<int32_t> asked_nodes;
        for (const int32_t j : asked) asked_nodes.push_back(nodes[j]);
        const std::vector<std::vector<uint64_t>> counts = count(asked_nodes, rounds);
        for (size_t t = 0; t < asked.size(); ++t) selections[asked[t]].decide(counts[t]);
    }
    for (size_t j = 0; j < nodes.size(); ++j) {
        grown.tree[grown.tree_index[nodes[j]]].value = key_value(selections[j].key(0));
    }
}

std::vector<std::vector<uint64_t>> count_leaf_residuals(const ShardTree& tree, const double* y,
                                                        const double* scores, int64_t n_ids,
                                                        const std::vector<int32_t>& nodes,
                                                        const std::vector<SelectRound>& rounds) {
    std::vector<std::vector<uint64_t>> keys(nodes.size());
    std::vector<int32_t> slot(static_cast<size_t>(n_ids), -1);
    for (size_t j = 0; j < nodes.size(); ++j) slot[nodes[j]] = static_cast<int32_t>(j);
    for (size_t i = 0; i < tree.bag.size(); ++i) {
        const int32_t j = slot[tree.node[i]];
        const int32_t r = tree.bag[i];
        if (j >= 0) keys[j].push_back(sort_key(y[r] - scores[r]));
    }
    std::vector<std::vector<uint64_t>> out(nodes.size());
    for (size_t j = 0; j < nodes.size(); ++j) {
        out[j].resize(rounds[j].buffer_size());
        count_keys(keys[j].data(), static_cast<int64_t>(keys[j].size()), rounds[j], out[j].data());
    }
    return out;
}

// The shards in this process answer the selections' rounds as shards elsewhere do.
void ExactRounds::refit_quantile(double alpha, ExactTree& grown, const double* y,
                                 const double* scores) {
    const auto n_ids = static_cast<int64_t>(grown.tree_index.size());
    refit_quantile_leaves(alpha, grown, [&](const std::vector<int32_t>& nodes,
                                            const std::vector<SelectRound>& rounds) {
        std::vector<std::vector<uint64_t>> merged;
        for (const SelectRound& round : rounds) merged.push_back(empty_counts(round));
        for (const LocalShard& shard : shards_) {
            const std::vector<std::vector<uint64_t>> part =
                count_leaf_residuals(shard.tree, y, scores, n_ids, nodes, rounds);
            for (size_t j = 0; j < merged.size(); ++j) {
                merge_counts(merged[j].data(), part[j].data(), merged[j].size());
            }
        }
        return merged;
    });
}

}  // namespace vorlent
