#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

// The arithmetic of the quantile cut points, shared by the binning of a whole column and
// the binning of a column spread over shards, so that both give the same bits.

namespace vorlent {

// Where fraction t falls in a sorted sample of n values, and the lower of its two
// neighbouring positions.
inline double rank_at(double t, int64_t n) { return t * static_cast<double>(n - 1); }
inline int64_t lower_position(double x, int64_t n) {
    return std::clamp(static_cast<int64_t>(std::floor(x)), int64_t{0}, n - 1);
}

// The number of cut points <= v (v not NaN) of ascending edges: a branch-free upper-bound
// search (std::upper_bound's answer, without its mispredicted branches).
inline int32_t bin_of(const double* edges, int32_t n_edges, double v) {
    if (n_edges == 0) return 0;
    const double* base = edges;
    int32_t len = n_edges;
    while (len > 1) {
        const int32_t half = len >> 1;
        base = base[half] <= v ? base + half : base;
        len -= half;
    }
    return static_cast<int32_t>(base - edges) + (*base <= v ? 1 : 0);
}

// The linear interpolation between the samples lo (at position j) and hi (at j + 1) at
// rank x. Through an infinity it can come out NaN (inf - inf, or inf * 0 when x lands
// exactly on a sample); the lower sample is then the answer, which is also the limit of the
// interpolation wherever it has one.
inline double interpolate(double lo, double hi, double x, int64_t j) {
    const double value = (hi - lo) * (x - static_cast<double>(j)) + lo;
    return std::isnan(value) ? lo : value;
}

// The fractions at which an ordinary feature is cut; a column with NaN keeps one bin of
// its budget for the missing values.
inline std::vector<double> ordinary_fractions(int32_t max_bins, bool has_missing) {
    const int32_t q = has_missing ? std::max(max_bins - 1, 2) : max_bins;
    std::vector<double> fractions;
    for (int32_t i = 1; i < q; ++i) {
        fractions.push_back(((static_cast<double>(i) * 100.0) / static_cast<double>(q)) / 100.0);
    }
    return fractions;
}

// The fractions at which a categorical feature with too many distinct values is cut:
// multiples of 1 / 8192, taken through percentages.
inline std::vector<double> category_fractions(int32_t n_bins) {
    std::vector<double> fractions;
    for (int32_t i = 1; i < n_bins; ++i) {
        const double p = static_cast<double>(i) * 100.0 * 0x1p-13;
        fractions.push_back(p / 100.0);
    }
    return fractions;
}

inline void sort_unique(std::vector<double>& cuts) {
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
}

}  // namespace vorlent
