#include "exact/cut_decision.hpp"

#include "common/numeric.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

void scan_feature_cuts(int32_t feature, const int64_t* cells, const NodeTotals& node,
                       const CutSettings& settings, std::vector<int32_t>& listed_bins,
                       ExactCut& best) {
    const BinnedMatrix& bins = *settings.bins;
    const std::vector<double>& bin_low = bins.bin_low[feature];
    const std::vector<double>& bin_high = bins.bin_high[feature];
    const int32_t n_bins = static_cast<int32_t>(bin_low.size());
    if (n_bins < 2) return;
    int32_t* listed = grow(listed_bins, static_cast<size_t>(n_bins));
    int32_t count = 0;
    for (int32_t b = 0; b < n_bins; ++b) {
        if (cells[kCellWords * b + 2] > 0) listed[count++] = b;
    }
    if (count < 2) return;
    const FixedGrid& gg = settings.grids.grad;
    const FixedGrid& hg = settings.grids.hess;
    const double lambda = settings.lambda;
    const double G = gg.value(node.g), H = hg.value(node.h);
    const double parent = G * G / (H + lambda);
    const int32_t missing_bin = bins.has_missing[feature] ? n_bins - 1 : -1;
    auto scan = [&](NodeTotals left, int32_t stop, int32_t missing_right) {
        for (int32_t k = 0; k + stop < count; ++k) {
            const int64_t* cell = cells + kCellWords * listed[k];
            left.g += cell[0];
            left.h += cell[1];
            left.count += cell[2];
            const int32_t upper = listed[k + 1];
            // A cut whose threshold is +inf sends +inf right with the missing values, so it
            // cannot part the rows as scored when the last value bin holds +inf.
            if (upper == missing_bin && bin_high[listed[k]] == kInf) continue;
            const double gl = gg.value(left.g), hl = hg.value(left.h);
            const double gr = gg.value(node.g - left.g), hr = hg.value(node.h - left.h);
            if (!(hl > kTiny) || !(hr > kTiny)) continue;
            const double gain = gl * gl / (hl + lambda) + gr * gr / (hr + lambda) - parent;
            if (gain > best.gain) {
                best.gain = gain;
                best.feature = feature;
                best.threshold =
                    upper == missing_bin ? kInf : cut_between(bin_high[listed[k]], bin_low[upper]);
                best.missing_right = missing_right;
                best.left = left;
            }
        }
    };
    scan(NodeTotals{}, 1, 1);
    // The missing bin, when it holds rows, is the last listed one; it goes left now, before
    // the value bins, and at least one value bin stays on the right.
    if (settings.learn_missing && missing_bin >= 0 && listed[count - 1] == missing_bin) {
        const int64_t* cell = cells + kCellWords * missing_bin;
        scan(NodeTotals{cell[2], cell[0], cell[1]}, 2, 0);
    }
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

SideSums side_sums(const NodeTotals& side, const RoundGrids& grids) {
    return SideSums{grids.grad.value(side.g), grids.hess.value(side.h)};
}

}  // namespace vorlent
