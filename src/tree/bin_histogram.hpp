#pragma once
#include <cstdint>
#include <vector>

#include "decide/axis_cut.hpp"
#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// Bin histograms of columns [c0, c1) over the node rows, read straight from the
// row-major codes (one or two bytes each): each column's cells start at offsets[i] of `cells` (a gradient and a
// hessian sum per bin, interleaved) and accumulate in row order.
template <class Code>
void build_bin_histograms(const std::vector<FeatureColumn>& columns, int64_t c0, int64_t c1,
                          const int32_t* offsets, int32_t n_features, const Code* codes,
                          const int32_t* rows, const NodeGradients& node, double* cells);

// The best cut found so far by a scan over several columns' bin histograms (decide/axis_cut).
using BinCut = AxisCut<DoubleCells::Sums>;

}  // namespace vorlent
