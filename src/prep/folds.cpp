#include "prep/folds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/random.hpp"

namespace vorlent {
namespace {

// How far ahead the dealing loop prefetches the fold entry it is about to write.
constexpr int64_t kPrefetchAhead = 64;

// Gives the row at position i of a shuffled list of m rows the fold (nf * i) / m. Each
// fold takes a contiguous run of positions, so the runs are walked instead of dividing.
void deal(const int32_t* rows, int64_t m, int32_t nf, int32_t* folds) {
    if (nf > m) {
        for (int64_t i = 0; i < m; ++i) {
            folds[rows[i]] = static_cast<int32_t>((int64_t{nf} * i) / m);
        }
        return;
    }
    int64_t i = 0;
    for (int32_t k = 0; k < nf; ++k) {
        // Positions with (nf * i) / m == k start at ceil(k * m / nf).
        const int64_t end = ((int64_t{k} + 1) * m + nf - 1) / nf;
        for (; i < end; ++i) {
            if (i + kPrefetchAhead < m) __builtin_prefetch(folds + rows[i + kPrefetchAhead], 1);
            folds[rows[i]] = k;
        }
    }
}

// Open-addressing map from a 64-bit label to a dense group number, numbered in order of
// first appearance.
class LabelGroups {
public:
    LabelGroups() : slots_(16, kEmpty) {}

    int32_t group_of(int64_t label) {
        size_t slot = hash(label);
        for (;;) {
            const int32_t g = slots_[slot];
            if (g == kEmpty) break;
            if (labels_[g] == label) return g;
            slot = (slot + 1) & (slots_.size() - 1);
        }
        const auto g = static_cast<int32_t>(labels_.size());
        labels_.push_back(label);
        slots_[slot] = g;
        if (labels_.size() * 2 > slots_.size()) grow();
        return g;
    }

    const std::vector<int64_t>& labels() const { return labels_; }

private:
    static constexpr int32_t kEmpty = -1;

    size_t hash(int64_t label) const {
        const uint64_t mixed = static_cast<uint64_t>(label) * 0x9E3779B97F4A7C15ull;
        return static_cast<size_t>(mixed ^ (mixed >> 29)) & (slots_.size() - 1);
    }

    void grow() {
        slots_.assign(slots_.size() * 2, kEmpty);
        for (int32_t g = 0; g < static_cast<int32_t>(labels_.size()); ++g) {
            size_t slot = hash(labels_[g]);
            while (slots_[slot] != kEmpty) slot = (slot + 1) & (slots_.size() - 1);
            slots_[slot] = g;
        }
    }

    std::vector<int32_t> slots_;   // group number, or kEmpty
    std::vector<int64_t> labels_;  // per group
};

void check_labels(std::span<const double> y) {
    for (size_t r = 0; r < y.size(); ++r) {
        if (!(std::fabs(y[r]) < 0x1p63)) {
            std::ostringstream message;
            message << "y must hold finite values of magnitude below 2^63 for a stratified "
                       "split, but entry "
                    << r << " is " << y[r];
            throw std::invalid_argument(message.str());
        }
    }
}

// The rows ordered by label, the labels ascending and each label's rows in ascending row
// order: label k (the k-th smallest, counting labels without rows when the table is dense)
// owns rows[start[k] .. start[k + 1]).
struct LabelRuns {
    std::vector<int32_t> rows;
    std::vector<int64_t> start;
};

// Labels spanning at most this many integers index a table directly instead of a hash map.
constexpr uint64_t kDenseLabelRange = uint64_t{1} << 16;

// Counting sort of the rows by label - lowest.
LabelRuns dense_runs(std::span<const double> y, int64_t lowest, uint64_t width) {
    LabelRuns runs;
    runs.start.assign(width + 1, 0);
    for (double v : y) ++runs.start[static_cast<uint64_t>(round_label(v) - lowest) + 1];
    std::partial_sum(runs.start.begin(), runs.start.end(), runs.start.begin());
    std::vector<int64_t> cursor(runs.start.begin(), runs.start.end() - 1);
    runs.rows.resize(y.size());
    for (size_t r = 0; r < y.size(); ++r) {
        runs.rows[cursor[static_cast<uint64_t>(round_label(y[r]) - lowest)]++] =
            static_cast<int32_t>(r);
    }
    return runs;
}

// Labels spread too widely for a table: a hash map numbers them, the numbers are then
// ranked by label.
LabelRuns hashed_runs(std::span<const double> y) {
    const auto n = static_cast<int64_t>(y.size());
    LabelGroups groups;
    std::vector<int32_t> group(n);
    for (int64_t r = 0; r < n; ++r) group[r] = groups.group_of(round_label(y[r]));

    const std::vector<int64_t>& labels = groups.labels();
    const auto n_groups = static_cast<int32_t>(labels.size());
    std::vector<int32_t> by_label(n_groups);
    std::iota(by_label.begin(), by_label.end(), 0);
    std::sort(by_label.begin(), by_label.end(),
              [&](int32_t a, int32_t b) { return labels[a] < labels[b]; });
    std::vector<int32_t> rank(n_groups);
    for (int32_t k = 0; k < n_groups; ++k) rank[by_label[k]] = k;

    LabelRuns runs;
    runs.start.assign(n_groups + 1, 0);
    for (int64_t r = 0; r < n; ++r) {
        group[r] = rank[group[r]];
        ++runs.start[group[r] + 1];
    }
    std::partial_sum(runs.start.begin(), runs.start.end(), runs.start.begin());
    std::vector<int64_t> cursor(runs.start.begin(), runs.start.end() - 1);
    runs.rows.resize(n);
    for (int64_t r = 0; r < n; ++r) runs.rows[cursor[group[r]]++] = static_cast<int32_t>(r);
    return runs;
}

// Shuffles and deals each label's rows on its own, the labels in ascending order.
void stratified_folds(std::span<const double> y, int32_t nf, Rng& rng, int32_t* folds) {
    if (y.empty()) return;
    int64_t lowest = std::numeric_limits<int64_t>::max();
    int64_t highest = std::numeric_limits<int64_t>::min();
    for (double v : y) {
        const int64_t label = round_label(v);
        lowest = std::min(lowest, label);
        highest = std::max(highest, label);
    }
    // Unsigned, as the span of two labels near +-2^63 does not fit a signed integer.
    const uint64_t span = static_cast<uint64_t>(highest) - static_cast<uint64_t>(lowest);
    LabelRuns runs = span < kDenseLabelRange ? dense_runs(y, lowest, span + 1) : hashed_runs(y);
    // A label without rows has an empty run, which draws nothing.
    for (size_t k = 0; k + 1 < runs.start.size(); ++k) {
        int32_t* run = runs.rows.data() + runs.start[k];
        const int64_t m = runs.start[k + 1] - runs.start[k];
        shuffle_indices(run, m, rng);
        deal(run, m, nf, folds);
    }
}

}  // namespace

std::vector<int32_t> make_folds(std::span<const double> y, int32_t nf, uint32_t seed,
                                bool stratified) {
    if (nf < 1) throw std::invalid_argument("nf must be at least 1, got " + std::to_string(nf));
    if (y.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        throw std::invalid_argument("y has " + std::to_string(y.size()) +
                                    " entries, more than the 2147483647 rows folds can number");
    }
    if (stratified) check_labels(y);

    const auto n = static_cast<int64_t>(y.size());
    std::vector<int32_t> folds(n);
    Rng rng(seed);
    if (stratified) {
        stratified_folds(y, nf, rng, folds.data());
    } else {
        // Left uninitialised until iota fills it: zeroing it first would be one more pass.
        const std::unique_ptr<int32_t[]> rows(new int32_t[n]);
        std::iota(rows.get(), rows.get() + n, 0);
        shuffle_indices(rows.get(), n, rng);
        deal(rows.get(), n, nf, folds.data());
    }
    return folds;
}

}  // namespace vorlent
