#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "boosting/booster.hpp"
#include "boosting/exact_start.hpp"
#include "boosting/round_loop.hpp"
#include "boosting/train.hpp"
#include "exact/level_builder.hpp"
#include "prep/shard_bins.hpp"
#include "prep/shard_select.hpp"

// exact_sums training when the rows live in other processes. The coordinator reaches them
// only through RemoteRows: every call asks all shards at once and returns their answers
// merged (by addition, minimum or maximum, in any order), so the fit makes the same model
// bytes as one on all the rows together in one process, whatever the shards.

namespace vorlent {

struct RemoteRows {
    int32_t n_features = 0;
    bool weighted = false;  // the shards hold weights
    // Bins, every column in one message: the facts of each column; the distinct values of
    // the given (categorical) columns; the counts of one selection round for each of the
    // given columns; the extremes of each column's bins under its edges. One answer per
    // column, in the order asked.
    using Columns = std::vector<int32_t>;
    std::function<std::vector<ShardedCuts>()> column_facts;
    std::function<std::vector<DistinctValues>(const Columns& columns)> distinct;
    std::function<std::vector<std::vector<uint64_t>>(const Columns& columns,
                                                     const std::vector<SelectRound>& rounds)>
        count_columns;
    std::function<std::vector<BinExtremes>(const std::vector<std::vector<double>>& edges)>
        extremes;
    std::function<void(const BinnedMatrix& tables)> set_bins;
    // The lineage builder (max_lineage >= 1): per column, the largest magnitude of a finite
    // value over all rows (merged by maximum), by which it scales its candidates.
    std::function<std::vector<double>()> column_bounds;
    // The start score.
    std::function<TargetRange()> target_range;
    std::function<std::vector<double>(const TargetRange& range)> start_bounds;
    std::function<std::vector<ExactSum>(const TargetRange&, const std::vector<double>& bounds)>
        start_sums;
    std::function<std::vector<uint64_t>(const SelectRound& round)> count_targets;
    std::function<void(const Model& model)> start;  // scores at the decided start
    // Huber: the counts of the absolute residuals for the threshold, then the threshold.
    std::function<std::vector<uint64_t>(const SelectRound& round)> count_abs_residuals;
    std::function<void(double delta)> set_huber_delta;
    // The trees: the builder's calls (begin_tree computes the gradients first), then the
    // score update.
    ShardSource source;
    // Quantile leaves: per builder node, the counts of its bag rows' residuals.
    std::function<std::vector<std::vector<uint64_t>>(const std::vector<int32_t>& nodes,
                                                     const std::vector<SelectRound>& rounds)>
        count_leaf_residuals;
    // The finished tree and, per builder node id, its index in the tree (the leaf a bag row
    // routed there takes). The tree's projection nodes point into `directions`, the ones
    // its growth committed (empty for trees without them).
    std::function<void(const Tree& tree, const std::vector<int32_t>& leaf_of,
                       const Directions& directions)>
        add_tree;
    // The rounds' watch as fit's (round_loop.hpp). The observer sees no training scores, and
    // the validation rows' scores (in their global order) that val_scores gathers. The
    // validation rows (watch.n_val) are held by shards of their own, which start at the start
    // score, take every tree, and report their losses' bound (merged by maximum) and exact
    // sum on it.
    RoundWatch watch;
    std::function<void(const Model& model)> val_start;
    std::function<void(const Tree& tree, const Directions& directions)> val_add_tree;
    std::function<double()> val_loss_bound;
    std::function<ExactSum(double bound)> val_loss_sum;
    std::function<std::vector<double>()> val_scores;
};

// The keys at the ranks, by a radix selection whose rounds the shards count.
std::vector<uint64_t> select_by_counts(
    const std::vector<uint64_t>& ranks,
    const std::function<std::vector<uint64_t>(const SelectRound&)>& count);

// The bin tables (edges, bin_low, bin_high, has_missing; no codes) of the shards' columns.
// The selections of several columns share their rounds, and the shards keep the keys of
// those columns between rounds: at least kSelectColumns columns at a time, more as long as
// their keys number at most kSelectKeys over all shards (every column of a small table).
inline constexpr size_t kSelectColumns = 8;
inline constexpr int64_t kSelectKeys = int64_t{1} << 24;
size_t select_group(const std::vector<ShardedCuts>& facts);
BinnedMatrix remote_bins(const BoosterParams& params, RemoteRows& rows);

// Trains b (a fresh booster with exact_sums on) on the shards' rows: n_estimators rounds,
// in the round loop of fit (boosting/round_loop.hpp): a failure before the first tree
// leaves b as it was, a later one keeps the complete trees.
void fit_remote(Booster& b, RemoteRows& rows);

}  // namespace vorlent
