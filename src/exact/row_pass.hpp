#pragma once
// A shard's rows and the passes over its bag rows that fill a statistics buffer, thread by
// thread, for level_stats and each kind of items.
#include <cstdint>
#include <functional>
#include <vector>

#include "common/row_view.hpp"
#include "exact/stats_request.hpp"
#include "prep/binning.hpp"

namespace vorlent {

// Bag rows above which the passes over them run in parallel.
inline constexpr int64_t kParallelBagRows = 20000;

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

}  // namespace vorlent
