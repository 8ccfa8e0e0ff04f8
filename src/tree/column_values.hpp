#pragma once
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"
#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// Columns x rows above which feature moments are computed in parallel.
inline constexpr int64_t kParallelMomentCells = 30000;

// Copies the node rows' values of every column that is not yet filled into its block
// (single precision) and, when `moments` is given, computes each column's moments from
// the double-precision values; columns with missing values keep all-zero moments.
void fill_columns(std::vector<FeatureColumn>& columns, const std::vector<bool>& has_missing,
                  const MatrixView& X, const int32_t* rows, const NodeGradients& node,
                  FeatureMoments* moments);

}  // namespace vorlent
