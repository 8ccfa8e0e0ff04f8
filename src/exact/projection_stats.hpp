#pragma once
#include <cstdint>
#include <vector>

#include "exact/projection.hpp"
#include "exact/row_pass.hpp"
#include "exact/stats_request.hpp"

// The statistics of projections (exact/projection.hpp) over a node's bag rows, one item per
// projection of the request, in request order (node by node).
//
//   kProjectionRanges, kRangeWords per projection:
//     [0] rows with a finite value  [1] rows missing a value it needs
//     [2] rows whose value is +-inf or NaN (from infinite inputs)
//     [3] smallest and [4] largest finite value, as total-order keys (-0 below +0);
//         UINT64_MAX and 0 (as int64 words) when no value is finite
//   kProjectedHistograms, kCellWords5 * (projection_bins + 2) per projection: cells of
//     g, h, row count and the smallest and largest value in the cell (keys as above):
//     cell c < bins holds the values v with clamp_bin((v - lo) * scale, bins) == c, scale =
//     bins / (hi - lo) (+inf for hi <= lo; -inf lies in cell 0 and +inf in the last), a
//     cell monotone in v;
//     cell bins holds the NaN values (which every cut sends right), cell bins + 1 the rows
//     missing a value (their min and max stay empty).
// Gradients are the node's (reduced) ones on the round's grids. Counts add, keys merge by
// minimum and maximum, so any grouping of the rows gives the same words.

namespace vorlent {

inline constexpr int64_t kRangeWords = 5;
inline constexpr int64_t kProjectedCellWords = 5;

// Words of one item of a projection kind.
int64_t projection_item_words(int64_t kind, int32_t projection_bins);

// Sets the empty keys of every item (the words after the header).
void init_projection_words(const StatsRequest& request, int64_t* words);

// (a) The shard's words of a projection kind, into out (already reset for the request).
void projection_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                      int32_t n_outputs, std::vector<int64_t>& out);

// A merged range item, decoded.
struct ProjectionRange {
    int64_t values = 0;    // rows with a finite value
    int64_t missing = 0;   // rows missing a value
    int64_t infinite = 0;  // rows whose value is +-inf or NaN
    double low = 0.0;      // smallest finite value (when values > 0)
    double high = 0.0;     // largest
};
ProjectionRange read_range(const int64_t* item);

// The first word of item i of a merged buffer of a projection kind.
inline const int64_t* projection_item(const std::vector<int64_t>& merged, int64_t kind,
                                      int32_t projection_bins, int64_t i) {
    return merged.data() + kStatsHeader + i * projection_item_words(kind, projection_bins);
}

// The cell of a projected value v (not NaN) on [lo, lo + bins / scale].
int32_t projected_cell(double v, double lo, double scale, int32_t bins);

}  // namespace vorlent
