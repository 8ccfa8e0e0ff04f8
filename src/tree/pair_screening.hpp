#pragma once
#include <cstdint>

#include "decide/screening.hpp"
#include "tree/node_gradients.hpp"
#include "tree/pair_config.hpp"
#include "tree/scratch.hpp"
#include "tree/screen_block.hpp"

namespace vorlent {

// How well the product of the two standardised columns explains the gradients.
double screen_pair(const FeatureColumn& a, const FeatureColumn& b, const NodeGradients& node,
                   const PairConfig& config);

// The screening of up to kScreenLanes pairs that share their first column, one lane per
// pair, over blocks of rows given in double precision, one row after another. Rows are
// added block by block, in order, so each pair's sums are exactly those of screen_pair on
// its own.
inline constexpr int32_t kScreenLanes = 8;
struct ScreenSums {
    double hz[kScreenLanes] = {}, rz[kScreenLanes] = {}, sz[kScreenLanes] = {};
    double szz[kScreenLanes] = {}, rzz[kScreenLanes] = {};
};
// Adds a block to the sums of the pairs (a, lane_b + j): column a against the columns
// lane_b, lane_b + 1, ... of the block; inv[j] = 1 / (scale of lane j's feature * scale
// of a's feature).
void screen_block(const ScreenBlock& block, int32_t a, int32_t lane_b, const double* inv,
                  const NodeGradients& node, ScreenSums& sums);
// screen_block for columns without missing values: every row counts, so the hessian and
// negative-gradient totals of each lane are the node's, which the caller sets in hz and rz.
void screen_block_complete(const ScreenBlock& block, int32_t a, int32_t lane_b, const double* inv,
                           const NodeGradients& node, ScreenSums& sums);
double screen_result(const ScreenSums& sums, int32_t lane, double lambda);
// Scores of the pairs (a, b[j]) for j < count <= kScreenLanes over every node row.
void screen_pairs(const FeatureColumn& a, const FeatureColumn* const* b, int32_t count,
                  const NodeGradients& node, const PairConfig& config, double* scores);

}  // namespace vorlent
