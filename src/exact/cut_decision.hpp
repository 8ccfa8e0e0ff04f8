#pragma once
#include <cstdint>
#include <vector>

#include "decide/monotone.hpp"
#include "exact/fixed_grid.hpp"
#include "exact/level_stats.hpp"
#include "prep/binning.hpp"

// The coordinator's decisions of exact_sums training: pure functions of merged statistics.
// Sums are exact integers on the round's grids until a decision needs them as doubles; each
// is then converted once (FixedGrid::value), so the same merged buffer always gives the same
// decision.

namespace vorlent {

// A node's totals on the grids.
struct NodeTotals {
    int64_t count = 0;
    int64_t g = 0;
    int64_t h = 0;
};

// The best axis cut of a node.
struct ExactCut {
    double gain = 0.0;
    int32_t feature = -1;
    double threshold = 0.0;
    int32_t missing_right = 1;  // 0: missing values go left
    NodeTotals left;            // the rows the cut sends left
};

// What a cut scan reads besides the histograms.
struct CutSettings {
    double lambda = 1.0;
    bool learn_missing = false;
    const BinnedMatrix* bins = nullptr;  // bin_low, bin_high, has_missing per feature
    RoundGrids grids;
};

// Cut scan of one feature's cells (g, h, count per bin): bins without rows are skipped (by
// their count, never by a hessian), the left sums add up in integers over the bins in
// ascending order, and a cut wins over `best` only with a strictly larger gain. The
// threshold lies between the largest training value left and the smallest right; the cut
// before the missing bin gets +inf (and is not offered when the last value bin holds +inf,
// which that threshold would send right). With learn_missing the cuts are scored again with
// the missing bin on the left. `listed` is scratch.
void scan_feature_cuts(int32_t feature, const int64_t* cells, const NodeTotals& node,
                       const CutSettings& settings, std::vector<int32_t>& listed, ExactCut& best);

// The best cut of a node over the given features (ascending) of its histogram block (a
// kBinHistograms block: node words, then cells). Ties go to the first feature scanned, then
// the first cut: the winner is a total order of (gain, feature, bin, missing side).
ExactCut best_exact_cut(const int64_t* block, const HistogramShape& shape,
                        const std::vector<int32_t>& features, const NodeTotals& node,
                        const CutSettings& settings, std::vector<int32_t>& listed);

// The Newton value -G / (H + lambda), clamped into [lower, upper]; 0 for a node without rows.
double exact_node_value(const NodeTotals& node, const RoundGrids& grids, double lambda,
                        double lower, double upper);

// A side's sums as the decisions read them: each converted once from the grids.
SideSums side_sums(const NodeTotals& side, const RoundGrids& grids);

}  // namespace vorlent
