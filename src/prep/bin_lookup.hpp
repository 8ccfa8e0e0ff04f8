#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/total_order.hpp"
#include "prep/cut_rule.hpp"

// bin_of for many values under the same edges: a table on the top 16 bits of a value's key
// narrows the search to the edges between the smallest values of its 16-bit block and of the
// next, often none or a few, instead of a search over all of them.

namespace vorlent {

class BinLookup {
public:
    // For about n_values values under edges (which must outlive it): the table pays for
    // itself from kMinValues values on, and needs edges ascending, none NaN (otherwise every
    // value takes the plain search).
    static constexpr int64_t kMinValues = int64_t{1} << 16;
    BinLookup(const std::vector<double>& edges, int64_t n_values) : edges_(edges) {
        const bool usable = n_values >= kMinValues && std::is_sorted(edges.begin(), edges.end()) &&
                            std::none_of(edges.begin(), edges.end(),
                                         [](double e) { return std::isnan(e); });
        if (!usable) return;
        const auto n = static_cast<int32_t>(edges.size());
        const uint64_t lowest = sort_key(-std::numeric_limits<double>::infinity());
        const uint64_t highest = sort_key(std::numeric_limits<double>::infinity());
        first_.resize(kBlocks + 1);
        for (size_t t = 0; t < kBlocks; ++t) {
            // The smallest value (not NaN) whose key is in block t or after it: its bin is
            // at most the bin of any value of the block, and at least that of any before.
            const uint64_t start = static_cast<uint64_t>(t) << kShift;
            first_[t] = start > highest
                            ? n
                            : bin_of(edges.data(), n, key_value(std::max(start, lowest)));
        }
        first_[kBlocks] = n;
    }

    // The number of edges <= v (v not NaN), as bin_of counts them.
    int32_t bin(double v) const {
        const auto n = static_cast<int32_t>(edges_.size());
        if (first_.empty()) return bin_of(edges_.data(), n, v);
        const uint64_t block = sort_key(v) >> kShift;
        const int32_t lo = first_[block];
        return lo + bin_of(edges_.data() + lo, first_[block + 1] - lo, v);
    }

private:
    static constexpr int32_t kShift = 48;
    static constexpr size_t kBlocks = size_t{1} << (64 - kShift);
    const std::vector<double>& edges_;
    std::vector<int32_t> first_;  // per block, the bin of its smallest value; then n
};

}  // namespace vorlent
