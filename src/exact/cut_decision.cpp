#include "exact/cut_decision.hpp"

#include "common/numeric.hpp"
#include "decide/newton.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

void scan_feature_cuts(int32_t feature, const int64_t* cells, const NodeTotals& node,
                       const CutSettings& settings, std::vector<int32_t>& listed, ExactCut& best) {
    const BinnedMatrix& bins = *settings.bins;
    const AxisBins axis{&bins.bin_low[feature], &bins.bin_high[feature],
                        bins.has_missing[feature] != 0};
    const GridCells<NodeTotals, FixedGrid> grid{cells, kCellWords, node, &settings.grids.grad,
                                                &settings.grids.hess};
    best_axis_cut<InfiniteTopCut::kRefused>(feature, grid, axis, settings.lambda,
                                            settings.learn_missing,
                                            grow(listed, bins.bin_low[feature].size()), best);
}

ExactCut best_exact_cut(const int64_t* block, const HistogramShape& shape,
                        const std::vector<int32_t>& features, const NodeTotals& node,
                        const CutSettings& settings, std::vector<int32_t>& listed) {
    ExactCut best;
    const int64_t* cells = block + kNodeWords;
    for (const int32_t f : features) {
        scan_feature_cuts(f, cells + kCellWords * int64_t{shape.bin_offset[f]}, node, settings,
                          listed, best);
    }
    return best;
}

double exact_node_value(const NodeTotals& node, const RoundGrids& grids, double lambda,
                        double lower, double upper) {
    if (node.count == 0) return clamp_value(0.0, lower, upper);
    return leaf_value(grids.grad.value(node.g), grids.hess.value(node.h), lambda, lower, upper);
}

SideSums side_sums(const NodeTotals& side, const RoundGrids& grids) {
    return SideSums{grids.grad.value(side.g), grids.hess.value(side.h)};
}

}  // namespace vorlent
