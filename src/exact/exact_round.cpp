#include "exact/exact_round.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "boosting/objective.hpp"
#include "common/exact_sum.hpp"
#include "common/parallel.hpp"
#include "common/total_order.hpp"
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

// The loss of one validation row, as validation_loss counts it.
double row_loss(const Booster& b, const double* val_scores, int64_t r) {
    if (b.objective == kBinary) {
        const double p = clamp_probability(sigmoid(val_scores[r]));
        const double y = b.y_val[r];
        return -(y * std::log(p) + (1.0 - y) * std::log(1.0 - p));
    }
    if (b.objective == kMulticlass) {
        const int64_t k = b.n_outputs;
        const double* f = val_scores + r * k;
        double m = f[0];
        for (int64_t j = 1; j < k; ++j) m = f[j] > m ? f[j] : m;
        double s = 0.0;
        for (int64_t j = 0; j < k; ++j) s += std::exp(f[j] - m);
        const int64_t c = target_class(b.y_val[r]);
        return -std::log(clamp_probability(std::exp(f[c] - m) / s));
    }
    const double d = val_scores[r] - b.y_val[r];
    return d * d;
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
    const bool weighted = !b.sample_weights.empty();
    const double* w = b.sample_weights.data();
    b.clip_low = 0.0;
    b.clip_high = 0.0;
    if (n_rows > 0) {
        uint64_t low = sort_key(y[0]), high = low;
        for (int32_t i = 1; i < n_rows; ++i) {
            low = std::min(low, sort_key(y[i]));
            high = std::max(high, sort_key(y[i]));
        }
        b.clip_low = key_value(low);
        b.clip_high = key_value(high);
    }
    double m = 0.0;
    if (n_rows > 0) {
        if (weighted) {
            const double swy = exact_total(n_rows, [&](int64_t i) { return w[i] * y[i]; });
            const double sw = exact_total(n_rows, [&](int64_t i) { return w[i]; });
            m = sw > 0.0 ? swy / sw : swy;
        } else {
            m = exact_total(n_rows, [&](int64_t i) { return y[i]; }) / n_rows;
        }
    }
    if (b.objective == kMulticlass) {
        const int32_t k = static_cast<int32_t>(target_class(b.clip_high)) + 1;
        b.n_outputs = k;
        auto weight = [&](int64_t i) { return weighted ? w[i] : 1.0; };
        auto counted = [&](int64_t i) {
            const int64_t c = target_class(y[i]);
            return c >= 0 && c < k;
        };
        const double total =
            exact_total(n_rows, [&](int64_t i) { return counted(i) ? weight(i) : 0.0; });
        b.base_scores.resize(static_cast<size_t>(k));
        for (int32_t c = 0; c < k; ++c) {
            const double count = exact_total(
                n_rows, [&](int64_t i) { return target_class(y[i]) == c ? weight(i) : 0.0; });
            b.base_scores[c] = std::log((count + 0.001) / (k * 0.001 + total));
        }
        b.base_score = 0.0;
        return;
    }
    b.n_outputs = 1;
    if (b.objective == kBinary) {
        double p = m < 1e-6 ? 1e-6 : m;
        p = p > 0.999999 ? 0.999999 : p;
        b.base_score = std::log(p / (1.0 - p));
    } else if (b.loss == kSquared) {
        b.base_score = m;
    } else {
        b.base_score = select_value({ColumnShard{y, n_rows}}, median_rank(n_rows));
    }
}

double exact_validation_loss(const Booster& b, const double* val_scores) {
    const int64_t n = b.n_val;
    const double sum = exact_total(n, [&](int64_t r) { return row_loss(b, val_scores, r); });
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

ExactTreeConfig ExactRounds::config(const Booster& b) const {
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
    c.bins = &bins_;
    return c;
}

Tree ExactRounds::grow(Booster& b, const double* y, const double* grad, const double* hess,
                       double* scores) {
    sources_.clear();
    for (LocalShard& shard : shards_) {
        sources_.push_back(local_source(shard, grad, hess, b.n_outputs, shape_));
    }
    ExactTree grown = grow_exact_tree(config(b), sources_, ws_);
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
