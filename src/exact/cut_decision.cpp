#include "exact/cut_decision.hpp"

#include "common/numeric.hpp"
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
    return clamp_value(-grids.grad.value(node.g) / (grids.hess.value(node.h) + lambda), lower,
                       upper);
}

double monotone_midpoint(const NodeTotals& left, const NodeTotals& right, const RoundGrids& grids,
                         double lambda, double lower, double upper) {
    const double gl = grids.grad.value(left.g), hl = grids.hess.value(left.h);
    const double gr = grids.grad.value(right.g), hr = grids.hess.value(right.h);
    return clamp_value(((-gl) / (hl + lambda) + (-gr) / (hr + lambda)) * 0.5, lower, upper);
}

void reduced_outputs(const int64_t* block, int32_t n_outputs, int32_t& p, int32_t& q) {
    p = 0;
    q = 0;
    for (int32_t j = 1; j < n_outputs; ++j) {
        if (block[1 + 2 * j] > block[1 + 2 * p]) p = j;
        if (block[1 + 2 * j] < block[1 + 2 * q]) q = j;
    }
    if (p == q && n_outputs >= 2) q = 1;
}

}  // namespace vorlent
