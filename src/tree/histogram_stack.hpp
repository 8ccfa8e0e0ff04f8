#pragma once
#include <cstdint>
#include <vector>

#include "prep/binning.hpp"
#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// The bin histograms of one node: gradient and hessian sums per bin of every column,
// interleaved, and the count of rows of positive hessian per bin.
struct HistogramSlot {
    std::vector<double> cells;
    std::vector<int32_t> counts;
    bool valid = false;       // holds the histograms of the node it belongs to
    bool subtracted = false;  // the parent's minus the sibling's, not summed from the rows
};

// The two children of the node one level up on the path the depth-first growth follows.
struct HistogramLevel {
    HistogramSlot child[2];  // left, right
    int32_t begin = 0;       // the left child's rows are rows[begin, split),
    int32_t split = 0;       // the right child's rows[split, end)
    int32_t end = 0;
    int32_t side = 0;  // the child on the path: 0 left, 1 right
};

// Bin histograms of the nodes on the growth path and of their siblings. A node whose
// parent kept its histograms sums only the smaller of itself and its sibling from the rows
// and takes the larger as the parent's minus the smaller's; the path holds two nodes per
// depth, so the memory is bounded by the depth and reused from tree to tree.
struct HistogramStack {
    std::vector<HistogramLevel> levels;  // one per depth that splits, within the memory bound
    size_t kept = 0;                     // levels in use for the current tree
    std::vector<int32_t> offsets;        // first bin of each column; the last entry: all bins
    std::vector<double> grad;            // a sibling's gradients, gathered in row order
    std::vector<double> hess;
    bool subtract = false;  // children take their parents' histograms minus their siblings'
};

// Bytes the levels of one stack may take; deeper nodes sum their histograms from the rows.
inline constexpr double kHistogramStackBytes = 128.0 * 1024 * 1024;

// Everything the histograms of a node are summed from.
struct HistogramInput {
    const std::vector<FeatureColumn>* columns;  // every column of the matrix, in order
    const BinnedMatrix* bins;
    int32_t n_features;
    const int32_t* all_rows;  // the bag's rows as partitioned so far
    const double* grad;       // per training row
    const double* hess;
};

// Readies the stack for a tree over every column of `bins` with nodes down to max_depth;
// with `subtract` false it holds nothing and every node search sums its own histograms.
void start_histograms(HistogramStack& stack, const BinnedMatrix& bins, int32_t max_depth,
                      bool subtract);

// The node at `depth` split its rows: its children at depth + 1 hold rows[begin, split)
// and rows[split, end), and neither has histograms yet.
void open_children(HistogramStack& stack, int32_t depth, int32_t begin, int32_t split,
                   int32_t end);

// The child (0 left, 1 right) of the node at depth - 1 that the growth enters next.
void enter_child(HistogramStack& stack, int32_t depth, int32_t side);

// The histograms of the node the growth is in, at `depth`, whose rows and gathered
// gradients `node` gives: summed from its rows or by subtraction, once per node. With
// `from_rows` they are summed from its rows whatever its parent kept. Null when the depth
// lies beyond the stack or the stack does not subtract; the caller then sums them itself.
const HistogramSlot* node_histograms(HistogramStack& stack, const HistogramInput& in,
                                     int32_t depth, const int32_t* rows,
                                     const NodeGradients& node, bool from_rows);

}  // namespace vorlent
