#pragma once
#include <cstdint>
#include <vector>

#include "exact/round_grids.hpp"
#include "exact/row_pass.hpp"
#include "exact/stats_request.hpp"
#include "prep/binning.hpp"

// The sums that screen a node's column pairs, exactly: how well the product of a pair's two
// columns explains the node's gradients (tree/pair_screening.hpp) decides, beside each pair's
// prescore, which pairs' directions are evaluated.
//
// A kScreenedPairMoments buffer holds the kPairMoments items of the request's pairs
// (exact/pair_moments.hpp), then kScreenWords words per pair, in request order: the 128-bit
// sums (low word, then high word)
//
//   Z = sum h z,  ZZ = sum h z^2,  RZ = sum r z   (r = -g)
//
// over the rows that the pair's moments count (both values on their grids; for a categorical
// pair a code in 0 .. top), where z is the product of the pair's two values on their column
// grids (x = round(value * 2^(31 - e)), |x| <= 2^31) put back on 31 bits: z = round(x_a x_b /
// 2^31) (ties up), an integer function of the row alone with |z| <= 2^31. A node's hessian
// terms sum to at most 2^62, so ZZ stays below 2^124; the sums merge by 128-bit addition.

namespace vorlent {

inline constexpr int64_t kScreenSumCount = 3;
inline constexpr int64_t kScreenWords = 2 * kScreenSumCount;

// Words of a request's screening sums (after its moment items).
inline int64_t screen_words(const StatsRequest& request) {
    return kScreenWords * static_cast<int64_t>(request.pairs.size());
}

// (a) The shard's kScreenedPairMoments words: the moments, then the screening sums, into out
// (already reset for the request).
void screened_pair_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                         int32_t n_outputs, std::vector<int64_t>& out);

// A pair's merged screening sums as doubles, in the units of its values: z times
// 2^(e_a + e_b - 31) is the product of its values.
struct ScreenMoments {
    double Z = 0.0;
    double ZZ = 0.0;
    double RZ = 0.0;
};
ScreenMoments screen_moments_of(const int64_t* item, const ColumnPair& pair,
                                const BinnedMatrix& bins, const RoundGrids& grids);

}  // namespace vorlent
