#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "common/matrix.hpp"
#include "common/random.hpp"
#include "prep/binning.hpp"
#include "tree/histogram_stack.hpp"
#include "tree/split_search.hpp"
#include "tree/tree_params.hpp"

namespace vorlent {

// The rows of the bag that reached one leaf: ws.rows[begin, end).
struct LeafRange {
    int32_t node;
    int32_t begin;
    int32_t end;
};

// Storage of the tree builders that lives for a whole training call, so that growing a
// node allocates nothing once the first tree is grown.
struct TreeWorkspace {
    std::vector<int32_t> rows;          // the round's bag, partitioned in place node by node
    std::vector<int32_t> spare_rows;    // the partitioned rows before they are copied back
    std::vector<uint8_t> sides;         // per node row while partitioned: 1 goes right
    std::vector<int32_t> block_left;    // left rows per block of the partition
    std::vector<uint8_t> bin_sides;     // an axis test's side per bin of its feature
    std::vector<double> node_grad;      // per node row, in row-list order
    std::vector<double> node_hess;
    std::vector<double> output_sums;    // multiclass: per-output gradient sums
    std::vector<int32_t> features;      // the node's sampled columns
    std::vector<FeatureColumn> columns;
    std::vector<FeatureColumn> pair_columns;  // the columns the oblique search pairs
    std::vector<double> column_gains;         // per column: its best axis cut's gain
    std::vector<int32_t> rank_order;          // scratch of the column ranking
    std::vector<int32_t> top_columns;         // positions of the best columns, ascending
    SearchWorkspace search;
    HistogramStack histograms;           // the axis search's histograms along the growth path
    std::vector<double> tied_gains;      // the axis search's column gains, sorted
    std::vector<ThreadScratch> scratch;  // one per thread; element 0 for sequential work
    std::vector<LeafRange> leaves;       // filled by grow_node; the caller clears it per tree
    std::vector<double> pair_values;     // a pair test's projection per node row
    std::vector<double> pair_cells;      // the histogram that places a pair test's cut
    std::vector<std::pair<int32_t, int32_t>> pair_order;  // or its rows, ordered by cell
};

// What one tree's growth reads; grad and hess hold n_outputs values per training row.
struct TreeInput {
    const MatrixView* X;
    const BinnedMatrix* bins;
    const double* grad;
    const double* hess;
};

// Grows the node for ws.rows[begin, end) and its subtree, depth first (a node, its left
// subtree, then its right subtree), and returns the node's index in `tree`. Columns are
// sampled with `rng`; the gains of committed splits are credited through `out`. The node's
// value is clamped to [lower, upper] (the bounds of monotone constraints).
int32_t grow_node(Tree& tree, const TreeInput& in, int32_t begin, int32_t end, int32_t depth,
                  const TreeParams& params, Rng& rng, const TreeOutputs& out, double lower,
                  double upper, TreeWorkspace& ws);

// Per-output Newton values of a multiclass leaf over ws.rows[begin, end).
void class_leaf_values(Node& node, const double* grad, const double* hess, const int32_t* rows,
                       int32_t n, int32_t n_outputs, double lambda);

}  // namespace vorlent
