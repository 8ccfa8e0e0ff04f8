#include "exact/exact_round.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "boosting/objective.hpp"
#include "common/exact_sum.hpp"
#include "common/parallel.hpp"
#include "common/total_order.hpp"
#include "exact/start_score.hpp"
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
constexpr double kProbFloor = 1e-12;
constexpr double kProbCeil = 0.999999999999;

double clamp_probability(double p) {
    if (p < kProbFloor) return kProbFloor;
    return p > kProbCeil ? kProbCeil : p;
}

double sigmoid(double f) { return 1.0 / (std::exp(-f) + 1.0); }

// The exact sum of n terms, on the grid of their largest magnitude.
template <class Term>
double exact_total(int64_t n, Term term) {
    double bound = 0.0;
    for (int64_t i = 0; i < n; ++i) bound = std::max(bound, std::fabs(term(i)));
    ExactSum sum(bound);
    for (int64_t i = 0; i < n; ++i) sum.add(term(i));
    return sum.value();
}

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

}  // namespace

void check_exact_settings(const Booster& b) {
    if (b.split_mode == 0 || b.split_mode == 2 || b.max_lineage >= 1) {
        throw std::invalid_argument(
            "exact_sums supports split_mode=1 (axis-aligned splits, max_lineage=0) for now; got "
            "split_mode=" +
            std::to_string(b.split_mode) + ", max_lineage=" + std::to_string(b.max_lineage));
    }
}

void exact_base_score(Booster& b, const double* y, int32_t n_rows) {
    const double* w = b.sample_weights.empty() ? nullptr : b.sample_weights.data();
    const TargetRange range = target_range(y, n_rows);
    const bool weighted = w != nullptr;
    const std::vector<double> bounds = start_bounds(b, range, y, w, weighted, n_rows);
    const std::vector<ExactSum> sums = start_sums(b, range, bounds, y, w, weighted, n_rows);
    decide_start(b, range, weighted, sums,
                 [&](uint64_t rank) { return select_value({ColumnShard{y, n_rows}}, rank); });
}

double exact_row_loss(const Booster& b, const double* row_scores, double y) {
    if (b.objective == kBinary) {
        const double p = clamp_probability(sigmoid(row_scores[0]));
        return -(y * std::log(p) + (1.0 - y) * std::log(1.0 - p));
    }
    if (b.objective == kMulticlass) {
        const int64_t k = b.n_outputs;
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

double exact_validation_loss(const Booster& b, const double* val_scores) {
    const int64_t n = b.n_val;
    const int64_t k = b.n_outputs;
    const double sum = exact_total(
        n, [&](int64_t r) { return exact_row_loss(b, val_scores + r * k, b.y_val[r]); });
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
    shards_.resize(plan_.size());
    for (size_t s = 0; s < plan_.size(); ++s) {
        shards_[s].rows =
            ShardRows{&bins_, &X_, plan_[s].data(), static_cast<int64_t>(plan_[s].size()), nullptr};
    }
}

ExactTreeConfig exact_tree_config(const Booster& b, const BinnedMatrix& bins) {
    ExactTreeConfig c;
    c.max_depth = b.max_depth;
    c.min_samples = b.min_samples;
    c.lambda = b.reg_lambda;
    c.subsample = b.subsample;
    c.colsample = b.colsample;
    c.learn_missing = b.learn_missing;
    c.n_outputs = b.n_outputs;
    c.seed = b.seed;
    c.tree_index = b.n_trees();
    c.monotone = &b.monotone;
    c.bins = &bins;
    return c;
}

Tree ExactRounds::grow(Booster& b, const double* y, const double* grad, const double* hess,
                       double* scores) {
    sources_.clear();
    for (LocalShard& shard : shards_) {
        sources_.push_back(local_source(shard, grad, hess, b.n_outputs, shape_));
    }
    ExactTree grown = grow_exact_tree(exact_tree_config(b, bins_), sources_, ws_);
    Tree tree = std::move(grown.tree);
    if (b.objective == kRegression && b.loss == kQuantile) {
        refit_quantile(b, grown, tree, y, scores);
    }
    add_scores(b, grown, tree, scores);
    for (const Node& node : tree) {
        if (!node.is_leaf) credit_split(b, node);
    }
    if (covers_match(b.trees, b.node_covers)) b.node_covers.push_back(std::move(grown.covers));
    return tree;
}

// Every leaf that bag rows reach takes the alpha-quantile of their residuals, selected
// exactly over the shards' residuals (as keys of the total order, so -0.0 sorts first).
void ExactRounds::refit_quantile(const Booster& b, const ExactTree& grown, Tree& tree,
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
        tree[leaf].value = key_value(select_ranks(keys[leaf], {leaf_quantile_rank(m, b.alpha)})[0]);
    }
}

// Bag rows take the leaf their shard routed them to; the other rows walk the tree.
void ExactRounds::add_scores(const Booster& b, const ExactTree& grown, const Tree& tree,
                             double* scores) {
    const int64_t k = b.n_outputs;
    const int64_t n = X_.n_rows;
    in_bag_.assign(static_cast<size_t>(n), 0);
    for (LocalShard& shard : shards_) {
        const ShardTree& st = shard.tree;
        const int64_t m = static_cast<int64_t>(st.bag.size());
        parallel_blocks(m, m > kParallelScoreRows, [&](int64_t i0, int64_t i1) {
            for (int64_t i = i0; i < i1; ++i) {
                const int64_t r = st.bag[i];
                in_bag_[r] = 1;
                add_leaf(b, tree[grown.tree_index[st.node[i]]], scores + r * k);
            }
        });
    }
    parallel_blocks(n, n > kParallelScoreRows, [&](int64_t r0, int64_t r1) {
        for (int64_t r = r0; r < r1; ++r) {
            if (in_bag_[r] == 0)
                add_leaf(b, tree[find_leaf(tree, X_.row(r), b.projections)], scores + r * k);
        }
    });
}

}  // namespace vorlent
