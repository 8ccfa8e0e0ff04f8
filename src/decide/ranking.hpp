#pragma once
#include <cstdint>
#include <vector>

// The ranking of a node's candidate pair columns (and of any scored candidates), for every
// builder: which columns a node pairs when max_pair_columns caps them, and which of them
// the cap keeps.

namespace vorlent {

// Whether a node with `count` sampled columns ranks them and pairs only the best
// max_pair_columns (0: every column is paired).
inline bool ranks_columns(int32_t max_pair_columns, int32_t count) {
    return max_pair_columns > 0 && count > max_pair_columns;
}

// The positions of the `keep` highest of scores[0, count), in ascending position order (so
// that pairs keep their first column before their second). Equal scores rank the lower
// position first and a NaN score ranks below every number, so the choice is the same on
// every run and thread count. keep >= count keeps every position. `order` is scratch.
void top_positions(const double* scores, int32_t count, int32_t keep, std::vector<int32_t>& order,
                   std::vector<int32_t>& out);

// top_positions with equal scores ranking the lower ranks[i] first instead of the lower
// position: for candidates whose list order is not their proposal order, ranks holding
// their proposal indices.
void top_ranked(const double* scores, const int64_t* ranks, int32_t count, int32_t keep,
                std::vector<int32_t>& order, std::vector<int32_t>& out);

}  // namespace vorlent
