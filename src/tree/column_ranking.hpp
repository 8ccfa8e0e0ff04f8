#pragma once
#include <cstdint>
#include <vector>

namespace vorlent {

// The positions of the `keep` highest of scores[0, count), in ascending position order (so
// that pairs keep their first column before their second). Equal scores rank the lower
// position first and a NaN score ranks below every number, so the choice is the same on
// every run and thread count. keep >= count keeps every position. `order` is scratch.
void top_positions(const double* scores, int32_t count, int32_t keep, std::vector<int32_t>& order,
                   std::vector<int32_t>& out);

}  // namespace vorlent
