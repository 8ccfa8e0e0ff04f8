#pragma once
#include <cstdint>
#include <vector>

#include "exact/round_grids.hpp"
#include "exact/row_pass.hpp"
#include "exact/stats_merge.hpp"
#include "exact/stats_request.hpp"
#include "model/node.hpp"
#include "prep/binning.hpp"

// The shard side of exact_sums training and the buffers it exchanges with the coordinator.
//
// A shard holds some of the training rows (bin codes, values, gradients) and, for the tree
// being grown, which of its rows are in the bag and which node each one has reached. Per
// round it reports a RoundSummary (merged by addition and maximum), from which the
// coordinator fixes the grids; per level it fills a statistics buffer for the nodes the
// coordinator asks about; then it routes its rows by the coordinator's decisions. Every
// number a shard reports is an integer sum, count or maximum, so that the merged statistics
// are the same bits however the rows are split into shards, into threads or ordered.
// The layout of the buffers: exact/stats_request.hpp.

namespace vorlent {

// Words of one node's block and of a whole buffer for a request.
int64_t block_words(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs);
int64_t buffer_words(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs);

// A buffer's header for a request; the blocks follow, zeroed. reset_stats does the same in
// place, keeping the vector's storage.
std::vector<int64_t> empty_stats(const StatsRequest& request, const HistogramShape& shape,
                                 int32_t n_outputs);
void reset_stats(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs,
                 std::vector<int64_t>& out);

// Takes the bag of a tree (bag_key from counter_random.hpp), puts every bag row at the root
// (node 0) and summarises the bag's gradients (grad and hess: n_outputs per local row).
RoundSummary begin_tree(const ShardRows& shard, uint64_t bag_key, double subsample,
                        const double* grad, const double* hess, int32_t n_outputs, ShardTree& st);

// Puts the bag's gradients on the round's grids.
void fix_gradients(const ShardRows& shard, const double* grad, const double* hess,
                   int32_t n_outputs, const RoundGrids& grids, ShardTree& st);

// (a) The shard's statistics for a request, written over `out` (buffer_words entries).
// Rows split freely over threads: integer sums do not depend on how.
void shard_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                 const HistogramShape& shape, int32_t n_outputs, std::vector<int64_t>& out);

// How the rows of one node that splits move on: per bin of its feature 0 left, 1 right or
// kEitherSide (a bin whose values straddle the threshold: the value decides), and the test
// itself for the rows whose values decide.
inline constexpr uint8_t kEitherSide = 2;
struct RouteRule {
    int32_t node = -1;  // the node that splits
    int32_t left = -1;  // its children's ids
    int32_t right = -1;
    Node test;  // an axis test (feature_a, threshold, missing_right), a pair or projection test
    std::vector<uint8_t> bin_side;  // empty: every row's values decide
    // A projection test: its direction, the one entry test.projection (0) points at.
    Directions projection;
};

// The rule of an axis test, from the smallest and largest training value of every bin of its
// feature (which every shard shares).
RouteRule route_rule(int32_t node, int32_t left, int32_t right, const Node& test,
                     const BinnedMatrix& bins);

// Moves every bag row of a splitting node to the child its test sends it to. rule_of maps a
// node id to its entry of `rules`, or -1 for nodes that do not split.
void route_rows(const ShardRows& shard, ShardTree& st, const std::vector<RouteRule>& rules,
                const std::vector<int32_t>& rule_of);

}  // namespace vorlent
