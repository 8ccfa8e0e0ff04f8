#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "common/row_view.hpp"
#include "exact/fixed_grid.hpp"
#include "exact/projection.hpp"
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
//
// The statistics buffer: int64 words.
//   header, kStatsHeader words:
//     [0] kStatsVersion  [1] kind (StatsKind)  [2] nodes asked for  [3] words per node
//     [4] outputs  [5] bins of all features  [6], [7] reserved, 0
//   then one block of `words per node` words per node, in the order of the request:
//     kOutputSums:     row count, then per output j: gradient sum G_j, hessian sum H_j
//     kBinHistograms:  row count, G, H of the node's (reduced) gradients, then per feature f
//                      (ascending) and per bin b of f: g, h, row count of the node's rows in
//                      bin b of f (at word 3 + 3 * (bin_offset[f] + b) of the block).
// Gradient words are on the round's gradient grid, hessian words on its hessian grid.
// Kinds of items (projections, column pairs) have blocks of their own layout, item after
// item (exact/projection_stats.hpp, exact/pair_moments.hpp, exact/screen_sums.hpp); their
// header has 0 in [3], the item count in [6] and the words after the header in [7]. Each kind
// merges word by word with a pattern of its own (addition, 128-bit addition, minimum or
// maximum of total-order keys); merge_stats refuses buffers whose headers differ or whose
// version it does not know.

namespace vorlent {

inline constexpr int64_t kStatsVersion = 1;
inline constexpr int64_t kStatsHeader = 8;
inline constexpr int64_t kNodeWords = 3;  // count, G, H at the start of a histogram block
inline constexpr int64_t kCellWords = 3;  // g, h, count of one bin

enum StatsKind : int64_t {
    kOutputSums = 1,
    kBinHistograms = 2,
    kProjectionRanges = 3,     // per projection: its range over the node (projection_stats)
    kProjectedHistograms = 4,  // per projection: cells on its range (projection_stats)
    kPairMoments = 5,          // per column pair: the sums of its direction (pair_moments)
    kScreenedPairMoments = 6,  // kPairMoments, then per pair its screening sums (screen_sums)
    kLineageMoments = 10,      // per node: its lineage candidates' moments (lineage_stats)
};

struct LineageCandidates;  // exact/lineage_stats.hpp

// Whether a kind's blocks are lists of items rather than one block per node.
inline bool item_kind(int64_t kind) {
    return kind >= kProjectionRanges && kind <= kScreenedPairMoments;
}
// Whether a kind's items are column pairs rather than projections.
inline bool pair_kind(int64_t kind) { return kind == kPairMoments || kind == kScreenedPairMoments; }

// A pair of columns whose moments a node asks for. With top >= 0, a is a categorical column
// whose codes 0 .. top (top < kMaxPairCategories) get sums of their own against the numeric
// column b; with top < 0 the pair is two numeric columns.
struct ColumnPair {
    int32_t a = -1;
    int32_t b = -1;
    int32_t top = -1;
};

// The fixed shape of the histograms: bins per feature and where each feature's cells begin.
struct HistogramShape {
    int32_t n_features = 0;
    std::vector<int32_t> bin_offset;  // n_features + 1 entries; the last is the bin total

    static HistogramShape of(const BinnedMatrix& bins);
    int64_t node_words() const { return kNodeWords + kCellWords * int64_t{bin_offset.back()}; }
};

// What the coordinator asks every shard for on one level.
struct StatsRequest {
    StatsKind kind = kOutputSums;
    std::vector<int32_t> nodes;  // node ids, in the order of the blocks
    int32_t node_ids = 0;        // ids in use so far: every row's node id is below it
    // kBinHistograms with several outputs: the outputs p and q whose difference g_p - g_q
    // (and sum h_p + h_q) the node's histograms add up, per requested node.
    std::vector<int32_t> first_output;
    std::vector<int32_t> second_output;
    // Kinds of items: node t's items are [item_begin[t], item_begin[t + 1]) (nodes + 1
    // entries) of `projections` (kProjectionRanges, kProjectedHistograms) or of `pairs`
    // (kPairMoments, kScreenedPairMoments).
    std::vector<int32_t> item_begin;
    std::vector<Projection> projections;
    std::vector<ColumnPair> pairs;
    int32_t projection_bins = 0;  // kProjectedHistograms: value cells per projection (>= 1)
    // kLineageMoments: every node's candidate directions (one list per requested node).
    std::shared_ptr<const LineageCandidates> lineage;
};

// Words of one node's block and of a whole buffer for a request.
int64_t block_words(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs);
int64_t buffer_words(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs);

// A buffer's header for a request; the blocks follow, zeroed. reset_stats does the same in
// place, keeping the vector's storage.
std::vector<int64_t> empty_stats(const StatsRequest& request, const HistogramShape& shape,
                                 int32_t n_outputs);
void reset_stats(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs,
                 std::vector<int64_t>& out);

// (b) Adds `from` into `into`: both must hold the same request's statistics (same header),
// else std::invalid_argument. Commutative and associative, so the merge order is free.
void merge_stats(std::vector<int64_t>& into, const std::vector<int64_t>& from);
// The merge of n words of a kind's blocks (n a whole number of its patterns).
void merge_words(int64_t kind, int64_t* into, const int64_t* from, int64_t n);

// The round's facts that fix the grids: merged by addition (rows) and maximum (magnitudes,
// which are never negative, so the maximum is order-free).
struct RoundSummary {
    int64_t bag_rows = 0;
    int64_t nonfinite = 0;      // bag rows with a gradient or hessian that is not finite
    double max_abs_grad = 0.0;  // over the bag rows and outputs
    double max_hess = 0.0;

    void merge(const RoundSummary& other);
};

// The two grids of a round.
struct RoundGrids {
    FixedGrid grad;
    FixedGrid hess;

    // From the merged summary: bounds max * rows, doubled for several outputs.
    static RoundGrids of(const RoundSummary& summary, int32_t n_outputs);
};

// One shard's rows as its worker holds them. Row i of the shard is local row rows[i] of the
// arrays; its global index (which alone decides its bag membership) is global_ids[rows[i]],
// or rows[i] itself when global_ids is null.
struct ShardRows {
    const BinnedMatrix* bins = nullptr;  // codes of the local rows, row-major
    RowView X;                           // values of the local rows
    const int32_t* rows = nullptr;
    int64_t n = 0;
    const int64_t* global_ids = nullptr;
};

// A shard's state for the tree being grown; it keeps its storage from tree to tree.
struct ShardTree {
    std::vector<int32_t> bag;   // local rows in the bag, in the shard's order
    std::vector<int32_t> node;  // per bag row: the node it has reached (its leaf at the end)
    std::vector<int64_t> qg;    // per bag row and output: the gradient on the grid
    std::vector<int64_t> qh;
    std::vector<int64_t> scratch;  // per-thread buffers
    std::vector<int32_t> target;   // node id -> block of the current request, or -1
};

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

// For the kinds' own passes: points st.target at the request's blocks (node id -> block or
// -1); then runs fill(i0, i1, words) over bag rows [i0, i1) in blocks, each thread into its
// own copy of out's words after the header (as reset), and merges the copies into out.
void mark_targets(const StatsRequest& request, ShardTree& st);
void row_pass(ShardTree& st, int64_t kind, std::vector<int64_t>& out,
              const std::function<void(int64_t i0, int64_t i1, int64_t* words)>& fill);
// A bag row's gradient and hessian on the grids: its own, or with several outputs the
// difference and sum of the node's pair of outputs.
inline void row_gradient(const ShardTree& st, int64_t i, int32_t k, const StatsRequest& request,
                         int32_t t, int64_t& g, int64_t& h) {
    if (k == 1) {
        g = st.qg[i];
        h = st.qh[i];
        return;
    }
    const int64_t p = i * k + request.first_output[t];
    const int64_t q = i * k + request.second_output[t];
    g = st.qg[p] - st.qg[q];
    h = st.qh[p] + st.qh[q];
}

// Calls row(i, t, g, h) for every bag row i in [i0, i1) that is at a requested node: t is
// the node's block, g and h the row's gradient pair on the grids (0 without `gradients`).
template <class Row>
void for_requested_rows(const ShardTree& st, const StatsRequest& request, int32_t k, bool gradients,
                        int64_t i0, int64_t i1, Row&& row) {
    const auto ids = static_cast<uint32_t>(st.target.size());
    for (int64_t i = i0; i < i1; ++i) {
        const auto at = static_cast<uint32_t>(st.node[i]);
        if (at >= ids || st.target[at] < 0) continue;
        const int32_t t = st.target[at];
        int64_t g = 0, h = 0;
        if (gradients) row_gradient(st, i, k, request, t, g, h);
        row(i, t, g, h);
    }
}

// The bag rows [i0, i1) at requested nodes, grouped by node for passes that run down a
// node's rows column by column: node t's rows are order[begin[t] .. begin[t + 1]), in bag
// order (begin gets one entry per requested node and one more). The caller's storage is
// reused from pass to pass.
void rows_by_node(const ShardTree& st, const StatsRequest& request, int64_t i0, int64_t i1,
                  std::vector<int64_t>& begin, std::vector<int32_t>& order);

// Rows of one node that such passes put side by side at once (their columns stay in cache).
inline constexpr int32_t kNodeRunRows = 256;

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
