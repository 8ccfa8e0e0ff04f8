#pragma once
#include <cstdint>
#include <vector>

#include "common/exact_sum.hpp"
#include "exact/round_grids.hpp"
#include "exact/row_pass.hpp"
#include "exact/stats_request.hpp"
#include "prep/binning.hpp"
#include "tree/pair_sums.hpp"

// The sums a pair direction is fitted from (tree/pair_solver.hpp), exactly: kPairMoments
// items, one per ColumnPair of the request, over the node's bag rows where both values are
// finite numbers (and, for a categorical pair, the code lies in 0 .. top).
//
// Values go on a grid per column fixed by the bin tables every shard holds: with
// 2^(e-1) <= the column's largest finite magnitude < 2^e, x becomes round(x * 2^(31 - e)),
// at most 2^31 in magnitude. Gradients and hessians are on the round's grids (each node's
// terms sum to at most 2^62), so every product sum stays below 2^124 and is kept as a
// 128-bit integer in two words (low, then high, two's complement): the item's words are all
// such pairs, and they merge by 128-bit addition.
//
//   numeric pair (top < 0): H, R, S_a, S_b, S_aa, S_ab, S_bb, T_a, T_b
//     (sums of h, r, h x_a, h x_b, h x_a^2, h x_a x_b, h x_b^2, r x_a, r x_b; r = -g)
//   categorical pair: per code q in 0 .. top: n_q = sum h, r_q = sum r, s_q = sum h x;
//     then hc = sum h, t = sum r x, sxx = sum h x^2 (x the numeric column b)

namespace vorlent {

inline constexpr int32_t kValueBits = 31;
__extension__ typedef unsigned __int128 ExactUInt;
inline constexpr int64_t kPairSumCount = 9;

// Words of one item.
int64_t pair_item_words(const ColumnPair& pair);
// Words of the items of a list of pairs.
int64_t pair_items_words(const std::vector<ColumnPair>& pairs);

// The exponent e of a column's value grid (0 for a column without finite values).
int32_t column_value_exponent(const BinnedMatrix& bins, int32_t f);

// (a) The shard's kPairMoments words, into out (already reset for the request).
void pair_moment_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                       int32_t n_outputs, std::vector<int64_t>& out);

// A 128-bit word pair.
inline ExactInt read_wide(const int64_t* w) {
    return static_cast<ExactInt>((static_cast<ExactUInt>(static_cast<uint64_t>(w[1])) << 64) |
                                 static_cast<uint64_t>(w[0]));
}

// A merged item as the doubles the direction solvers read: each sum converted once and
// scaled by its grids' steps (exact powers of two).
PairSums pair_sums_of(const int64_t* item, const ColumnPair& pair, const BinnedMatrix& bins,
                      const RoundGrids& grids);
CategorySums category_sums_of(const int64_t* item, const ColumnPair& pair, const BinnedMatrix& bins,
                              const RoundGrids& grids);

}  // namespace vorlent
