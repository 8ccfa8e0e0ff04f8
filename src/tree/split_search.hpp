#pragma once
#include <cstdint>
#include <vector>

#include "tree/scratch.hpp"
#include "tree/search_workspace.hpp"

namespace vorlent {

// The oblique search: a direction for every pair of columns, the most promising pairs kept
// and evaluated exactly. Returns an empty choice when no pair splits.
SplitChoice search_oblique_split(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                                 SearchWorkspace& ws);

// The axis-aligned search over the columns' training bins.
SplitChoice search_axis_split(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                              SearchWorkspace& ws);

// Nodes dumped to VRL_DUMP so far in this process (at most 500).
int32_t dumped_node_count();

}  // namespace vorlent
