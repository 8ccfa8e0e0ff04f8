#pragma once
#include <cstdint>
#include <vector>

#include "common/random.hpp"

namespace vorlent {

// The columns offered to one node, ascending. With colsample < 1 the list 0 .. n-1 is
// shuffled with rng and its first max(ceil(n * colsample), 2) entries are kept (padded with
// column 0 when there are fewer columns than that); otherwise, or without columns, every
// column, and rng is not used.
void sample_columns(int32_t n_features, double colsample, Rng& rng, std::vector<int32_t>& out);

}  // namespace vorlent
