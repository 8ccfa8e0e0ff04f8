#pragma once
#include <cstdint>

#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// Threshold search on coef_a * x_a + coef_b * x_b: exact double-precision histogram for
// pairs with missing values, single-precision histogram of 4 * hist_bins cells otherwise.
// gh_f32 holds each node row's gradient and hessian in single precision, side by side.
SplitChoice evaluate_linear_pair(const FeatureColumn& a, const FeatureColumn& b, double coef_a,
                                 double coef_b, const NodeGradients& node, const float* gh_f32,
                                 double lambda, int32_t hist_bins, ThreadScratch& s,
                                 bool missing_aware, const FeatureMoments& ma,
                                 const FeatureMoments& mb);

// evaluate_linear_pair of any number of linear pairs without missing values (FastPair)
// into out[0 .. count): the pairs take the node's rows block by block, up to
// kMaxFastPairs histograms filled per pass over a block, each exactly as on its own.
inline constexpr int32_t kMaxFastPairs = 4;
void evaluate_fast_pairs(const FastPair* pairs, int32_t count, const NodeGradients& node,
                         const float* gh_f32, double lambda, int32_t hist_bins, ThreadScratch& s,
                         SplitChoice* out);

// The exact, missing-aware evaluation of any number of pairs (ExactPair) into
// out[0 .. count): the projection histogram of each, the pairs taking the node's rows block
// by block, up to kMaxFastPairs histograms filled per pass over a block, each exactly as on
// its own.
void evaluate_exact_pairs(const ExactPair* pairs, int32_t count, const NodeGradients& node,
                          double lambda, int32_t hist_bins, ThreadScratch& s, SplitChoice* out);

// Threshold search on offset[category] + slope * x_numeric (exact, missing-aware). The
// result carries no category values: the caller attaches the offsets of the pair that wins,
// so that evaluating many candidates allocates nothing.
SplitChoice evaluate_category_pair(const FeatureColumn& category, const FeatureColumn& numeric,
                                   const double* offsets, int32_t n_offsets, double slope,
                                   const NodeGradients& node, double lambda, int32_t hist_bins,
                                   ThreadScratch& s);

}  // namespace vorlent
