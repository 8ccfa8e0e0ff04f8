#pragma once
#include <cstdint>
#include <functional>
#include <vector>

// The bins of one column whose rows are spread over shards, equal to what build_bins gives
// the column made of all the shards' rows together, whatever the split and the row order.
// Every step is a per-shard summary that merges by addition, minimum or maximum, so a
// coordinator of shards in other processes can follow the same steps.

namespace vorlent {

// One shard's rows of the column, in any order. NaN means missing.
struct ColumnShard {
    const double* values = nullptr;
    int64_t n = 0;
};

// The smallest distinct values of a column (equal doubles count once, -0.0 with +0.0, by
// the smaller key), ascending as keys, at most kMaxCategoryBins + 1 of them: enough to tell
// whether a categorical column gets a bin per value, and which.
struct DistinctValues {
    std::vector<uint64_t> keys;

    bool too_many() const;
};
DistinctValues distinct_values(const ColumnShard& shard);
// The distinct values of two shards together (commutative and associative).
DistinctValues merge_distinct(const DistinctValues& a, const DistinctValues& b);

// The cut points of one column, as build_bins' edges.
struct ShardedCuts {
    std::vector<double> edges;
    bool has_missing = false;
    int64_t n_values = 0;     // non-NaN rows of all shards
    uint64_t lowest_key = 0;  // smallest and largest non-NaN value, as keys (when any)
    uint64_t highest_key = 0;
};
ShardedCuts sharded_cuts(const std::vector<ColumnShard>& shards, int32_t max_bins,
                         bool categorical);

// The same cuts when the shards live elsewhere: from the column's merged facts (has_missing,
// n_values and the extreme keys of ShardedCuts, whose edges are left empty), the merged
// distinct values (asked for only for a categorical column) and a selection of the keys at
// given ranks of the ascending order of every shard's keys together.
using DistinctSource = std::function<DistinctValues()>;
using RankSource = std::function<std::vector<uint64_t>(const std::vector<uint64_t>& ranks)>;
ShardedCuts cuts_from(ShardedCuts facts, const DistinctSource& distinct, const RankSource& select,
                      int32_t max_bins, bool categorical);

// cuts_from in two steps, so that a coordinator can select the keys of many columns in the
// same rounds: the plan, whose ranks (ascending, distinct) are the keys the cuts read (none
// when the cuts need no selection, and then its cuts are final), then the cuts from the keys
// at those ranks.
struct CutPlan {
    ShardedCuts cuts;
    std::vector<double> fractions;
    std::vector<uint64_t> ranks;
};
CutPlan plan_cuts(ShardedCuts facts, const DistinctSource& distinct, int32_t max_bins,
                  bool categorical);
ShardedCuts finish_cuts(CutPlan plan, const std::vector<uint64_t>& keys);

// One shard's part of the facts of cuts_from, and the merge of two parts (or, addition,
// minimum, maximum).
ShardedCuts column_facts(const ColumnShard& shard);
void merge_facts(ShardedCuts& into, const ShardedCuts& from);

// Per value bin, the smallest and largest key in it (UINT64_MAX and 0 when empty): one
// shard's part, and the merge of two parts.
struct BinExtremes {
    std::vector<uint64_t> low;
    std::vector<uint64_t> high;
};
BinExtremes bin_extremes(const ColumnShard& shard, const std::vector<double>& edges);
void merge_extremes(BinExtremes& into, const BinExtremes& from);

// build_bins' bin_low and bin_high of the column from its cuts and merged extremes. Where a
// bin holds both -0.0 and +0.0, its extreme is the one first in the total order (-0.0 low,
// +0.0 high), not the one first in row order as build_bins keeps.
void bin_bounds(const ShardedCuts& cuts, const BinExtremes& extremes, std::vector<double>& low,
                std::vector<double>& high);

}  // namespace vorlent
