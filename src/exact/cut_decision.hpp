#pragma once
#include <cstdint>
#include <vector>

#include "decide/axis_cut.hpp"
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

// The best axis cut of a node (decide/axis_cut), with the node totals it sends left.
using ExactCut = AxisCut<NodeTotals>;

// What a cut scan reads besides the histograms.
struct CutSettings {
    double lambda = 1.0;
    bool learn_missing = false;
    const BinnedMatrix* bins = nullptr;  // bin_low, bin_high, has_missing per feature
    RoundGrids grids;
};

// best_axis_cut of one feature's cells (g, h, count per bin) on the round's grids: bins are
// occupied by their row count, the left sums add up in integers, and the cut before the
// missing bin is refused when the last value bin holds +inf. `listed` is scratch.
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
