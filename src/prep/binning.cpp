#include "prep/binning.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "prep/cut_rule.hpp"
#include "prep/sort_keys.hpp"

namespace vorlent {
namespace {

// Below this many cells the features are binned on the calling thread.
constexpr int64_t kParallelCells = int64_t{1} << 16;
// Up to this many neighbouring features are copied out of X in one pass over its rows,
// which reads each row's cache line once for all of them.
constexpr int32_t kMaxGroup = 4;

// Working memory of one thread, allocated once and reused for every group it bins.
struct BinScratch {
    BinScratch(int32_t n_rows, int32_t group)
        : columns(static_cast<size_t>(int64_t{n_rows} * group)), keys(n_rows), spare(n_rows) {}

    // Scratch bytes per row for a group of the given size.
    static int64_t bytes_per_row(int32_t group) { return 8 * int64_t{group} + 2 * 8; }

    std::vector<double> columns;  // the group's columns one after another, each in row order
    std::vector<uint64_t> keys;   // sort keys of one column's non-NaN values
    std::vector<uint64_t> spare;  // second buffer of the radix sort
    std::vector<double> lows;     // per bin
    std::vector<double> highs;    // per bin
};

// The non-NaN values of a column, duplicates kept, in ascending order at least at every
// position that is read.
struct SortedSample {
    const uint64_t* keys;
    int64_t n;

    double operator[](int64_t i) const { return key_value(keys[i]); }
};

// The value at fraction t of the sorted sample, interpolating linearly between the two
// neighbouring samples.
double percentile(const SortedSample& s, double t) {
    if (s.n == 1) return s[0];
    const double x = rank_at(t, s.n);
    const int64_t j = lower_position(x, s.n);
    return interpolate(s[j], s[std::min(j + 1, s.n - 1)], x, j);
}

// Cut points of a categorical feature: a bin per distinct value while there are few
// enough of them, else the 8191 percentiles at multiples of 100 / 8192.
std::vector<double> categorical_cuts(const SortedSample& s) {
    std::vector<double> cuts;
    double previous = s[0];
    bool too_many = false;
    for (int64_t i = 1; i < s.n && !too_many; ++i) {
        const double v = s[i];
        if (v == previous) continue;
        too_many = static_cast<int32_t>(cuts.size()) == kMaxCategoryBins - 1;
        if (!too_many) cuts.push_back(cut_between(previous, v));
        previous = v;
    }
    if (!too_many) return cuts;
    cuts.clear();
    for (double t : category_fractions(kMaxCategoryBins)) cuts.push_back(percentile(s, t));
    sort_unique(cuts);
    return cuts;
}

// Quantile cut points of an ordinary feature; a column with NaN keeps one bin of its
// budget for the missing values. Only the order statistics that the interpolation reads
// are put in place (and the smallest and largest value), not the whole sample.
std::vector<double> ordinary_cuts(uint64_t* keys, uint64_t* spare, int64_t n, int32_t max_bins,
                                  bool has_missing) {
    const std::vector<double> fractions = ordinary_fractions(max_bins, has_missing);
    std::vector<int64_t> wanted = {0, n - 1};
    for (double t : fractions) {
        const int64_t j = lower_position(rank_at(t, n), n);
        wanted.push_back(j);
        wanted.push_back(std::min(j + 1, n - 1));
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    select_keys(keys, spare, n, wanted);

    const SortedSample sample{keys, n};
    std::vector<double> cuts;
    cuts.reserve(fractions.size());
    for (double t : fractions) cuts.push_back(percentile(sample, t));
    sort_unique(cuts);
    return cuts;
}

// Copies features [begin, end) of X into consecutive columns.
void gather_group(const MatrixView& X, int32_t begin, int32_t end, double* columns) {
    const int64_t n_rows = X.n_rows;
    const int32_t width = end - begin;
    for (int64_t r = 0; r < n_rows; ++r) {
        const double* row = X.row(r) + begin;
        for (int32_t g = 0; g < width; ++g) columns[g * n_rows + r] = row[g];
    }
}

// Bins one column (feature f of X, copied out in row order): writes its codes into the
// row-major codes and its tables into edges, bin_low, bin_high and has_missing.
// Thrown when a feature has more bins than one-byte codes can hold.
struct CodesTooNarrow {};

template <class Code>
void bin_feature(const double* column, int64_t n_rows, int64_t n_cols, int32_t f, bool categorical,
                 int32_t max_bins, BinScratch& scratch, Code* codes, std::vector<double>& edges,
                 std::vector<double>& bin_low, std::vector<double>& bin_high,
                 uint8_t& has_missing) {
    uint64_t* keys = scratch.keys.data();
    int64_t n_sample = 0;
    for (int64_t r = 0; r < n_rows; ++r) {
        const double v = column[r];
        keys[n_sample] = sort_key(v);
        n_sample += std::isnan(v) ? 0 : 1;
    }
    const bool missing = n_sample < n_rows;
    has_missing = missing ? 1 : 0;
    if (n_sample == 0) {
        // No value to cut: the codes stay 0 and the one bin doubles as the missing bin.
        bin_low.assign(1, 0.0);
        bin_high.assign(1, 0.0);
        return;
    }

    // In order at least wherever the cut points read it, and at both ends.
    const uint64_t* ordered = keys;
    if (categorical) {
        ordered = sort_keys(keys, scratch.spare.data(), n_sample);
        edges = categorical_cuts(SortedSample{ordered, n_sample});
    } else {
        edges = ordinary_cuts(keys, scratch.spare.data(), n_sample, max_bins, missing);
    }
    const SortedSample sample{ordered, n_sample};

    const int32_t n_edges = static_cast<int32_t>(edges.size());
    const int32_t n_bins = n_edges + 1 + (missing ? 1 : 0);
    const int32_t missing_code = n_bins - 1;
    if (n_bins - 1 > std::numeric_limits<Code>::max()) throw CodesTooNarrow{};
    // An empty value bin keeps low > high; it is then valued by its cut points below.
    scratch.lows.assign(n_bins, kInf);
    scratch.highs.assign(n_bins, -kInf);
    double* lows = scratch.lows.data();
    double* highs = scratch.highs.data();
    const double* cut = edges.data();
    for (int64_t r = 0; r < n_rows; ++r) {
        const double v = column[r];
        int32_t code = missing_code;
        if (!std::isnan(v)) {
            code = bin_of(cut, n_edges, v);
            lows[code] = v < lows[code] ? v : lows[code];
            highs[code] = v > highs[code] ? v : highs[code];
        }
        codes[r * n_cols + f] = static_cast<Code>(code);
    }

    bin_low.resize(n_bins);
    bin_high.resize(n_bins);
    for (int32_t k = 0; k < n_bins; ++k) {
        if (missing && k == missing_code) {
            bin_low[k] = 0.0;
            bin_high[k] = 0.0;
        } else if (lows[k] <= highs[k]) {
            bin_low[k] = lows[k];
            bin_high[k] = highs[k];
        } else {
            const double bound = k == 0 ? (n_edges > 0 ? cut[0] : sample[0])
                                        : (k - 1 < n_edges ? cut[k - 1] : sample[sample.n - 1]);
            bin_low[k] = bound;
            bin_high[k] = bound;
        }
    }
}

// How the features are shared out: groups of neighbouring features, taken by the threads
// one group at a time.
struct BinningPlan {
    int32_t slots = 1;      // threads binning at once
    int32_t n_groups = 1;   // group k holds features [k * n / n_groups, (k + 1) * n / n_groups)
    int32_t max_group = 1;  // features in the largest group
};

// As many groups as needed to keep them at most kMaxGroup wide, rounded up to a multiple
// of the thread count so that the threads finish together; as many threads as the
// machine offers, but few enough that their scratch stays within twice the size of X.
BinningPlan plan_binning(int32_t n_rows, int32_t n_features) {
    const int64_t threads = int64_t{n_rows} * n_features < kParallelCells
                                ? 1
                                : std::min<int64_t>(omp_get_max_threads(), n_features);
    BinningPlan plan;
    const int64_t groups = (n_features + kMaxGroup - 1) / kMaxGroup;
    plan.n_groups = static_cast<int32_t>(
        std::min<int64_t>((groups + threads - 1) / threads * threads, n_features));
    plan.max_group = (n_features + plan.n_groups - 1) / plan.n_groups;
    const int64_t memory_cap =
        2 * 8 * int64_t{n_features} / BinScratch::bytes_per_row(plan.max_group);
    plan.slots = static_cast<int32_t>(
        std::max<int64_t>(1, std::min<int64_t>({threads, memory_cap, plan.n_groups})));
    return plan;
}

}  // namespace

namespace {

// Bins every column with codes of the given width.
BinnedMatrix bin_all(const MatrixView& X, int32_t max_bins, const std::vector<int32_t>& categorical,
                     bool narrow) {
    const int32_t n_features = X.n_cols;
    BinnedMatrix out;
    out.narrow = narrow;
    const auto n_codes = static_cast<size_t>(int64_t{X.n_rows} * n_features);
    if (out.narrow) {
        out.narrow_codes.assign(n_codes, 0);
    } else {
        out.codes.assign(n_codes, 0);
    }
    out.edges.resize(n_features);
    out.bin_low.resize(n_features);
    out.bin_high.resize(n_features);
    // One byte per feature: threads may not share the words of a packed bit vector.
    std::vector<uint8_t> missing(n_features, 0);
    if (n_features == 0) return out;

    // Features are independent, so whichever thread bins one, its result is the same.
    const BinningPlan plan = plan_binning(X.n_rows, n_features);
    std::atomic<int32_t> next_group{0};
    parallel_for_dynamic(plan.slots, 1, plan.slots > 1, [&](int64_t) {
        BinScratch scratch(X.n_rows, plan.max_group);
        for (int32_t k = next_group++; k < plan.n_groups; k = next_group++) {
            const auto begin = static_cast<int32_t>(int64_t{k} * n_features / plan.n_groups);
            const auto end = static_cast<int32_t>(int64_t{k + 1} * n_features / plan.n_groups);
            gather_group(X, begin, end, scratch.columns.data());
            for (int32_t f = begin; f < end; ++f) {
                const bool is_categorical =
                    f < static_cast<int32_t>(categorical.size()) && categorical[f] != 0;
                const double* column = scratch.columns.data() + int64_t{f - begin} * X.n_rows;
                if (out.narrow) {
                    bin_feature(column, X.n_rows, n_features, f, is_categorical, max_bins, scratch,
                                out.narrow_codes.data(), out.edges[f], out.bin_low[f],
                                out.bin_high[f], missing[f]);
                } else {
                    bin_feature(column, X.n_rows, n_features, f, is_categorical, max_bins, scratch,
                                out.codes.data(), out.edges[f], out.bin_low[f], out.bin_high[f],
                                missing[f]);
                }
            }
        }
    });
    out.has_missing.assign(missing.begin(), missing.end());
    return out;
}

}  // namespace

BinnedMatrix build_bins(const MatrixView& X, int32_t max_bins,
                        const std::vector<int32_t>& categorical) {
    if (max_bins > kMaxBins) {
        throw std::invalid_argument("max_bins must be at most " + std::to_string(kMaxBins) +
                                    " (bin codes are 16 bits wide), got " +
                                    std::to_string(max_bins));
    }
    // An ordinary feature has at most max(max_bins, 3) bins, the missing one included, so
    // one-byte codes fit unless a categorical feature has more than 256 values; then the
    // matrix is binned again with two-byte codes.
    if (max_bins <= kMaxNarrowBins) {
        try {
            return bin_all(X, max_bins, categorical, true);
        } catch (const CodesTooNarrow&) {
        }
    }
    return bin_all(X, max_bins, categorical, false);
}

}  // namespace vorlent
