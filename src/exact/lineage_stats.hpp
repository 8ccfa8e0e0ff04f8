#pragma once
#include <cstdint>
#include <vector>

#include "exact/round_grids.hpp"
#include "exact/row_pass.hpp"
#include "exact/stats_request.hpp"
#include "tree/pair_sums.hpp"

// The shard side of the exact_sums lineage builder: the moments of every pair of a node's
// candidate directions, from which the coordinator fits each pair's ridge direction.
//
// A candidate is a sparse direction (a column is one entry of 1.0). Its value on a row is
// the sum routing forms for a projection node, without the bias: starting at 0.0, x * coef
// added for every entry in ascending column order, NaN as soon as one of those values is
// missing. A value that is not finite takes no part in the moments. Every finite value is
// scaled by its candidate's power of two, u = v / 2^k, into (-1, 1), k fixed by the
// coordinator from a bound on the candidate's values over all training rows. Then every
// term h u, h u_i u_j is at most the round's largest hessian and every g u at most its
// largest |gradient|: the round's two grids hold all the sums, in int64.
//
// The kLineageMoments block of a node, for a request with `slots` candidates per node:
//   [0] row count, [1] G, [2] H of the node's bag rows,
//   then for every candidate i < slots, kLineageSingleWords words over the rows where its
//   value is finite: sum h, sum h u_i, sum h u_i^2, sum g u_i, sum g (which rank the columns
//   when a node pairs only its best ones),
//   then for every pair (i, j), i < j < slots, in the order (0,1), (0,2), .., (1,2), ..:
//   kLineagePairWords words over the rows where both values are finite: sum h, sum g,
//   sum h u_i, sum h u_j, sum h u_i^2, sum h u_j^2, sum h u_i u_j, sum g u_i, sum g u_j.
// Gradient words are on the round's gradient grid, hessian words on its hessian grid; g and
// h of a row are its gradients as put on those grids. Pairs of a node with fewer candidates
// than slots stay zero. Single-output trees only.

namespace vorlent {

inline constexpr int64_t kLineageSingleWords = 5;
inline constexpr int64_t kLineagePairWords = 9;

// The candidates of the nodes of one kLineageMoments request.
struct LineageCandidates {
    RoundGrids grids;
    int32_t slots = 0;                    // candidates a node's block has room for
    std::vector<int32_t> node_start{0};   // node t's candidates: [node_start[t], node_start[t+1])
    std::vector<int64_t> entry_start{0};  // candidate c's entries: [entry_start[c], .. [c+1])
    std::vector<int32_t> column;          // ascending within a candidate
    std::vector<double> coef;             // nonzero
    std::vector<int32_t> exponent;        // per candidate: k, its values' scale 2^k

    // Appends a candidate to the last node opened by open_node.
    void add(const std::vector<int32_t>& columns, const std::vector<double>& coefs, int32_t k);
    // Starts the next node's list of candidates (the previous node's ends here).
    void open_node() { node_start.push_back(node_start.back()); }
};

// Pairs of `slots` candidates and the position of pair (i, j), i < j, among them.
inline int64_t lineage_pairs(int64_t slots) { return slots * (slots - 1) / 2; }
inline int64_t lineage_pair_index(int64_t i, int64_t j, int64_t slots) {
    return i * (2 * slots - i - 1) / 2 + (j - i - 1);
}
inline int64_t lineage_block_words(int64_t slots) {
    return kNodeWords + kLineageSingleWords * slots + kLineagePairWords * lineage_pairs(slots);
}
// Where pair p's words begin in a block.
inline int64_t lineage_pair_offset(int64_t pair, int64_t slots) {
    return kNodeWords + kLineageSingleWords * slots + kLineagePairWords * pair;
}

// The exponent k with |v| < 2^k for every value of a candidate whose finite values are at
// most `bound` in magnitude, with room for the rounding of the sum that forms a value.
int32_t lineage_value_exponent(double bound);

// Whether the candidates of a kLineageMoments request for n_nodes nodes fit a shard of
// n_cols columns whose grids are `grids`, so that its pass reads nothing outside them and
// keeps every sum in int64: the lists laid out node by node and candidate by candidate,
// every column in range and ascending within its candidate, at most `slots` candidates a
// node and no more slots than candidates, the request's grids the shard's, and every
// exponent at least the one the shard's own bounds give (column_bound[f]: the largest
// magnitude of a finite value of column f among its rows), which the coordinator's bounds
// over all rows never undercut.
bool lineage_candidates_fit(const LineageCandidates& candidates, size_t n_nodes, int32_t n_cols,
                            const std::vector<double>& column_bound, const RoundGrids& grids);

// A candidate's value on a row (NaN when a value it reads is missing).
inline double candidate_value(const int32_t* column, const double* coef, int64_t n,
                              const double* row) {
    double s = 0.0;
    for (int64_t e = 0; e < n; ++e) {
        const double x = row[column[e]];
        if (x != x) return x;
        s += x * coef[e];
    }
    return s;
}

// Adds the moments of the bag rows [i0, i1) of a shard to the blocks of a kLineageMoments
// request (`words` per block). `values` and `fixed` are scratch.
void lineage_moment_rows(const ShardRows& shard, const ShardTree& st,
                         const LineageCandidates& candidates, int64_t i0, int64_t i1, int64_t words,
                         int64_t* blocks, std::vector<double>& values, std::vector<int64_t>& fixed);

// The sums of pair (i, j) of a merged block as the ridge fit reads them, back on the
// candidates' own scales (exponents ki, kj); g sums turned into sums of -g.
PairSums lineage_pair_sums(const int64_t* block, int64_t pair, int64_t slots,
                           const RoundGrids& grids, int32_t ki, int32_t kj);

// single_column_score of candidate i of a merged block (exponent k).
double lineage_single_score(const int64_t* block, int64_t i, const RoundGrids& grids, int32_t k);

}  // namespace vorlent
