#pragma once
#include <cstdint>

#include "common/numeric.hpp"
#include "decide/cut_scan.hpp"

// The cut of a projected histogram (the equal cells of a pair's or a projection's values),
// for every builder.

namespace vorlent {

// Scans the cuts after cells cell_at(0) .. cell_at(cuts - 1) of a projected histogram with
// the rows missing a value on the right; then, when `missing` is given (learn_missing and
// such rows exist: their sums), the same cuts with those rows on the left, where a cut wins
// only with a strictly larger gain. take(k, left sums, gain, missing_right) records a cut
// that beats the best so far (best_gain) and returns true.
template <class Cells, class CellAt, class Take>
void scan_projected_cut(const Cells& cells, CellAt&& cell_at, int32_t cuts,
                        const typename Cells::Sums* missing, double lambda, double& best_gain,
                        Take&& take) {
    using Sums = typename Cells::Sums;
    scan_cuts(cells, cell_at, cuts, Sums{}, lambda, best_gain,
              [&](int32_t k, const Sums& left, double gain) { return take(k, left, gain, 1); });
    if (missing == nullptr) return;
    scan_cuts(cells, cell_at, cuts, *missing, lambda, best_gain,
              [&](int32_t k, const Sums& left, double gain) { return take(k, left, gain, 0); });
}

// Where the cut after cell `last_left` of n cells lies: between the largest value of the
// cells up to it and the smallest value of the cells after it, so that the test
// "value < threshold" parts the rows exactly as the cut was scored (the cells are monotone
// in the value). range(i, low, high) gives cell i's smallest and largest value, or false for
// a cell without values.
template <class Range>
double projected_threshold(int32_t last_left, int32_t n, Range&& range) {
    double below = -kInf, above = kInf;
    for (int32_t i = 0; i < n; ++i) {
        double low = 0.0, high = 0.0;
        if (!range(i, low, high)) continue;
        if (i <= last_left) below = high > below ? high : below;
        if (i > last_left) above = low < above ? low : above;
    }
    return cut_between(below, above);
}

}  // namespace vorlent
