#pragma once
#include <cstdint>
#include <vector>

#include "common/numeric.hpp"
#include "decide/cut_scan.hpp"

// The axis cut of a node: the best cut of one column's bin histogram, for every builder.

namespace vorlent {

// The best axis cut found so far by a scan over several columns.
template <class Sums>
struct AxisCut {
    double gain = 0.0;
    int32_t feature = -1;
    double threshold = 0.0;
    int32_t missing_right = 1;  // 0: missing values go left
    Sums left;                  // the sums of the rows the cut sends left
};

// What a column's axis cut reads besides its histogram: the bins' training value ranges.
struct AxisBins {
    const std::vector<double>* low = nullptr;   // smallest training value per bin
    const std::vector<double>* high = nullptr;  // largest training value per bin
    bool has_missing = false;                   // the last bin holds the missing values
};

// Whether a cut before the missing bin may have threshold +inf when the last value bin holds
// +inf. Such a threshold sends +inf right with the missing values, not left as scored:
// exact_sums refuses the cut; the row-by-row builders offer it, and the models they have
// trained keep their bytes.
enum class InfiniteTopCut { kRefused, kOffered };

// Cut scan of one column's bin histogram over its occupied bins; improves `best`. The
// threshold lies between the largest training value of the bins on the left and the
// smallest of the bins on the right, so it parts the rows exactly as the scored cut does;
// the cut between the last value bin and the missing bin gets threshold +inf (every number
// goes left, only missing values go right). With `learn_missing` the cuts between value
// bins are scored again with the missing bin on the left, and win only with a strictly
// larger gain. `listed` is scratch with room for every bin.
template <InfiniteTopCut kTop, class Cells>
void best_axis_cut(int32_t feature, const Cells& cells, const AxisBins& bins, double lambda,
                   bool learn_missing, int32_t* listed, AxisCut<typename Cells::Sums>& best) {
    const std::vector<double>& low = *bins.low;
    const std::vector<double>& high = *bins.high;
    const auto n_bins = static_cast<int32_t>(low.size());
    if (n_bins < 2) return;
    const int32_t count = list_occupied(cells, n_bins, listed);
    if (count < 2) return;
    const int32_t missing_bin = bins.has_missing ? n_bins - 1 : -1;
    auto at = [&](int32_t k) { return listed[k]; };
    auto take_with = [&](int32_t missing_right) {
        return [&, missing_right](int32_t k, const typename Cells::Sums& left, double gain) {
            const int32_t upper = listed[k + 1];
            const bool before_missing = upper == missing_bin;
            if (kTop == InfiniteTopCut::kRefused && before_missing && high[listed[k]] == kInf) {
                return false;
            }
            best.gain = gain;
            best.feature = feature;
            best.threshold = before_missing ? kInf : cut_between(high[listed[k]], low[upper]);
            best.missing_right = missing_right;
            best.left = left;
            return true;
        };
    };
    scan_cuts(cells, at, count - 1, typename Cells::Sums{}, lambda, best.gain, take_with(1));
    // The missing bin, when it holds rows, is the last listed one; it goes left now, before
    // the value bins, and at least one value bin stays on the right.
    if (learn_missing && missing_bin >= 0 && listed[count - 1] == missing_bin) {
        scan_cuts(cells, at, count - 2, cells.at(missing_bin), lambda, best.gain, take_with(0));
    }
}

}  // namespace vorlent
