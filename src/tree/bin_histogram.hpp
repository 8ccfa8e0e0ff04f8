#pragma once
#include <cstdint>
#include <vector>

#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// Bin histograms of columns [c0, c1) over the node rows, read straight from the
// row-major codes (one or two bytes each): each column's cells start at offsets[i] of `cells` (a gradient and a
// hessian sum per bin, interleaved) and accumulate in row order. With `counts`, each
// column's bins also count their rows of positive hessian from counts[offsets[i]].
template <class Code>
void build_bin_histograms(const std::vector<FeatureColumn>& columns, int64_t c0, int64_t c1,
                          const int32_t* offsets, int32_t n_features, const Code* codes,
                          const int32_t* rows, const NodeGradients& node, double* cells,
                          int32_t* counts = nullptr);

// A child's bin histograms as its parent's minus its sibling's, over n_bins bins (cells
// and counts laid out as build_bin_histograms lays them). The counts subtract exactly, so
// a bin left without rows of positive hessian gets exact zero sums, as its own rows would
// have summed to: only such bins are empty to the cut scan. Returns false when a bin that
// keeps such rows lost its positive hessian to rounding; its cells then cannot stand in for
// the sums over the rows.
bool subtract_bin_histograms(const double* parent, const int32_t* parent_counts,
                             const double* sibling, const int32_t* sibling_counts, int64_t n_bins,
                             double* cells, int32_t* counts);

// The best cut found so far by a scan over several columns.
struct BinCut {
    double gain = 0.0;
    int32_t feature = -1;
    double threshold = 0.0;
    int32_t missing_right = 1;  // 0: missing values go left
};

// Cut scan of one column's bin histogram (interleaved gradient and hessian sums) over its
// nonempty bins; improves `best`. The threshold lies between the largest training value of
// the bins on the left and the smallest of the bins on the right, so it parts the rows
// exactly as the scored cut does. The cut between the last value bin and the missing bin
// gets threshold +inf: every number goes left, only missing values go right. With
// `learn_missing` the cuts between value bins are also scored with the missing bin on the
// left, and win only with a strictly larger gain.
void best_bin_cut(int32_t feature, const double* cells, const std::vector<double>& bin_low,
                  const std::vector<double>& bin_high, bool feature_has_missing,
                  const NodeGradients& node, double lambda, bool learn_missing, ThreadScratch& s,
                  BinCut& best);

}  // namespace vorlent
