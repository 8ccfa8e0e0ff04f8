#pragma once
#include <cstdint>
#include <vector>

#include "tree/search_workspace.hpp"

namespace vorlent {

// What every pair of a node shares: the node's single-precision hessians and totals.
struct NodePairs {
    const float* hess_f32;
    double hs;  // sum of the node's hessians, in row order
    double r0;  // sum of the node's negative gradients, in row order
    PairConfig config;
    const std::vector<bool>* has_missing;  // per feature
};

// The first column after a run of pairs starting at first column a0: whole first columns,
// as many as fit in `batch` pairs, at least one.
int32_t pair_run_end(int32_t a0, int32_t c_count, int64_t batch);

// Proposes a direction for every pair (a, b), a0 <= a < a1, a < b, of the node's columns and
// appends a candidate for each that succeeded to ws.candidates (its offsets to
// ws.offset_pool), in pair order, numbered on from ws.proposed. Each pair is solved on its
// own, so a pair's candidate does not depend on the run it was proposed in.
void propose_pairs(const NodeSearch& in, std::vector<ThreadScratch>& scratch, SearchWorkspace& ws,
                   const NodePairs& np, int32_t a0, int32_t a1);

// Copies node rows [k0, k0 + kScreenBlockRows) of every column into the thread's buffer,
// side by side in double precision, for the passes that take many pairs a row at a time.
ScreenBlock column_block(const SearchWorkspace& ws, ThreadScratch& s, int32_t n_columns, int32_t k0,
                         int32_t n);

}  // namespace vorlent
