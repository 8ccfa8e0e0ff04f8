#pragma once
#include <cstdint>
#include <vector>

#include "decide/axis_cut.hpp"
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

// The best cut found so far by a scan over several columns' bin histograms (decide/axis_cut).
using BinCut = AxisCut<DoubleCells::Sums>;

}  // namespace vorlent
