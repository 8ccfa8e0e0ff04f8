#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "common/matrix.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// The gradients of one node: one entry per node row, in row-list order, and their sums.
struct NodeGradients {
    const double* grad = nullptr;
    const double* hess = nullptr;
    int32_t n = 0;
    double G = 0.0;
    double H = 0.0;
};

// Rows ahead at which scattered row reads are prefetched.
inline constexpr int32_t kPrefetchDistance = 16;

// Asks for every cache line of bytes [p, p + size) ahead of its use.
inline void prefetch_span(const void* p, size_t size) {
    const char* c = static_cast<const char*>(p);
    for (size_t off = 0; off < size; off += 64) __builtin_prefetch(c + off);
    __builtin_prefetch(c + size - 1);
}
// Columns x rows above which feature moments are computed in parallel.
inline constexpr int64_t kParallelMomentCells = 30000;

// Copies the node rows' values of every column that is not yet filled into its block
// (single precision) and, when `moments` is given, computes each column's moments from
// the double-precision values; columns with missing values keep all-zero moments.
void fill_columns(std::vector<FeatureColumn>& columns, const std::vector<bool>& has_missing,
                  const MatrixView& X, const int32_t* rows, const NodeGradients& node,
                  FeatureMoments* moments);

// Bin histograms of columns [c0, c1) over the node rows, read straight from the
// row-major codes (one or two bytes each): each column's cells start at offsets[i] of `cells` (a gradient and a
// hessian sum per bin, interleaved) and accumulate in row order.
template <class Code>
void build_bin_histograms(const std::vector<FeatureColumn>& columns, int64_t c0, int64_t c1,
                          const int32_t* offsets, int32_t n_features, const Code* codes,
                          const int32_t* rows, const NodeGradients& node, double* cells);

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

// Equal-width histogram of projected values over [lo, hi] and its cut scan. With
// `missing_aware`, NaN values are kept aside and scored on the right side of every cut,
// where the split sends them.
struct ProjectedCut {
    bool found = false;
    double threshold = 0.0;
    double gain = 0.0;
    int32_t cell = -1;  // the last cell on the left side
    bool missing_left = false;  // the rows without a value go left
};
ProjectedCut projected_histogram_split(const double* projected, const NodeGradients& node,
                                       double lambda, double lo, double hi, bool missing_aware,
                                       ThreadScratch& s, int32_t bins);

// The cell of each of n projected values in [lo, hi] (or NaN): clamp_bin((v - lo) / step,
// bins), exactly; with `missing_aware`, a NaN goes to the extra cell `bins`.
void projected_cells(const double* v, int32_t n, double lo, double step, int32_t bins,
                     bool missing_aware, int32_t* cell);

// The cut scan of an equal-width histogram whose cell i starts at lo + i * step; cell i's
// sums are at grad_cells[i * stride] and hess_cells[i * stride]. Missing values, kept
// out of the cells, count on the right side.
ProjectedCut scan_projected_cells(const double* grad_cells, const double* hess_cells,
                                  int32_t stride, int32_t bins, double lo, double step,
                                  const NodeGradients& node, double lambda);

// The rows without a value on the left side: the sums of their gradients and hessians.
struct MissingSums {
    double g = 0.0;
    double h = 0.0;
};

// scan_projected_cells, then, when `missing` holds rows, the same cuts with those rows on
// the left; a cut with them on the left wins only with a strictly larger gain.
ProjectedCut scan_projected_cells_both_sides(const double* grad_cells, const double* hess_cells,
                                             int32_t stride, int32_t bins, double lo, double step,
                                             const NodeGradients& node, double lambda,
                                             const MissingSums& missing);

// scan_projected_cells of the equal-width histogram of the node's n values v (NaN kept
// out) without forming it: the rows are ordered by cell instead, which costs n log n rather
// than `bins` when the histogram has far more cells than rows. Gives exactly the same cut:
// the cells' sums form in row order and the left sums in cell order as there, and an empty
// cell adds nothing and cannot raise the gain. `order` is scratch.
ProjectedCut scan_projected_values(const double* v, const NodeGradients& node, int32_t bins,
                                   double lo, double step, double lambda,
                                   std::vector<std::pair<int32_t, int32_t>>& order,
                                   const MissingSums* missing = nullptr);

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

// The bin of a scaled value: truncation toward zero, clamped to [0, count - 1]; NaN gives 0.
inline int32_t clamp_bin(double v, int32_t count) {
    if (!(v >= 0.0)) return 0;
    if (v >= static_cast<double>(count)) return count - 1;
    return static_cast<int32_t>(v);
}

}  // namespace vorlent
