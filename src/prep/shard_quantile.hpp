#pragma once
#include <cstdint>
#include <vector>

#include "prep/shard_bins.hpp"

// The order statistics that the regression losses read (the median start score, the Huber
// threshold and the quantile leaf values), found over values spread across shards. Each is
// a plain, unweighted element of the ascending order at a rank computed from the count, so
// it equals the element that a selection over all the values together returns, up to the
// sign of a zero (-0.0 and +0.0 compare equal there; here -0.0 comes first).

namespace vorlent {

// The position of the start score among n >= 1 targets: the upper median.
inline uint64_t median_rank(int64_t n) { return static_cast<uint64_t>(n / 2); }

// The position of the Huber threshold among n >= 1 absolute residuals.
uint64_t huber_threshold_rank(int64_t n, double alpha);

// The position of a quantile leaf's value among its m >= 1 residuals.
uint64_t leaf_quantile_rank(int64_t m, double alpha);

// The value at a rank of the ascending order of every shard's values together. The values
// must not be NaN; throws std::invalid_argument when the rank is not below their count.
double select_value(const std::vector<ColumnShard>& shards, uint64_t rank);

}  // namespace vorlent
