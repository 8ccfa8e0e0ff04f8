#pragma once
#include <cstdint>
#include <vector>

#include "exact/cut_decision.hpp"
#include "exact/level_stats.hpp"
#include "exact/projection.hpp"
#include "tree/tree_params.hpp"

// The coordinator's oblique decisions of exact_sums training, pure functions of merged
// statistics: which columns a node pairs, the direction of each pair (the pair solvers of
// the histogram builder, on sums converted once from exact integers), which directions it
// evaluates and on what range, and the best cut of a projected histogram.

namespace vorlent {

// Cells of a projected histogram: the fit's hist_bins up to this many, so that a node's
// candidates' cells stay a few megabytes whatever max_bins.
inline constexpr int32_t kMaxProjectedBins = 256;

// What the oblique decisions read besides the statistics.
struct ObliqueSettings {
    const TreeParams* tree = nullptr;
    const BinnedMatrix* bins = nullptr;
    RoundGrids grids;
};

// The columns a node pairs: its sampled columns (ascending), or, when they are ranked
// (decide/ranking.hpp), the max_pair_columns of them whose best axis cut gains
// most (ties to the lower column), ascending. `block` is the node's kBinHistograms block.
std::vector<int32_t> paired_columns(const std::vector<int32_t>& features, const int64_t* block,
                                    const HistogramShape& shape, const NodeTotals& node,
                                    const CutSettings& cut_settings, int32_t max_pair_columns);

// The pairs of a node's paired columns, in order (a < b): a numeric column and a
// categorical one whose largest code in the node (from its bins) is 1 to 31 make a
// categorical pair (the categorical column first); every other pair is numeric.
void column_pairs(const std::vector<int32_t>& columns, const int64_t* block,
                  const HistogramShape& shape, const BinnedMatrix& bins,
                  const std::vector<int32_t>& categorical, std::vector<ColumnPair>& out);

// A direction proposed for a pair: the projection (with the range its histogram lies on)
// and the solver's prescore.
struct ObliqueCandidate {
    Projection projection;
    double prescore = 0.0;
    double screen = 0.0;  // its screening score, when the node screens (screening_decision)
};

// The spread of a column over a pair's rows from the sums of h, h x and h x^2 there: the
// scale its coefficient is fitted on (kTiny at least; 1 without hessian).
double node_scale(double H, double S, double SS);

// The direction of a pair from its merged kPairMoments item, with the range of its
// histogram: the hessian-weighted mean of the projected values plus or minus four standard
// deviations, inside the box of the node's column ranges (from its bins). False when the
// solver finds no direction or the range is empty.
bool propose_direction(const int64_t* item, const ColumnPair& pair, const int64_t* block,
                       const HistogramShape& shape, const ObliqueSettings& settings,
                       ObliqueCandidate& out);

// Keeps the `keep` candidates with the highest prescore (0 keeps all), in their order
// (ties to the earlier one).
void keep_best_candidates(std::vector<ObliqueCandidate>& candidates, size_t keep);

// The best cut of a kProjectedHistograms item: between two value cells that hold rows, at a
// threshold between the largest value left and the smallest right; the NaN cell always on
// the right, the missing cell on the right or (with learn_missing, when that gains
// strictly more) on the left. Ties go to the first cut. Returns a gain of 0 when none gains.
struct ObliqueCut {
    double gain = 0.0;
    double threshold = 0.0;
    int32_t missing_right = 1;
    NodeTotals left;
};
ObliqueCut best_projection_cut(const int64_t* item, int32_t bins, const NodeTotals& node,
                               const CutSettings& settings);

}  // namespace vorlent
