#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "exact/projection.hpp"
#include "prep/binning.hpp"

// What the coordinator of exact_sums training asks the shards for, and the layout of the
// statistics buffer they answer with (exact/level_stats.hpp fills and sizes it).
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

}  // namespace vorlent
