#include "prep/sort_keys.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace vorlent {
namespace {

constexpr int kDigitBits = 11;
constexpr int kBuckets = 1 << kDigitBits;
constexpr int kPasses = (64 + kDigitBits - 1) / kDigitBits;
// Below this a comparison sort beats the fixed cost of the bucket tables.
constexpr int64_t kRadixMinimum = 512;

using BucketCounts = std::array<uint32_t, kBuckets>;

// Digit `pass` counted from the least significant end.
inline uint32_t digit(uint64_t key, int pass) {
    return static_cast<uint32_t>(key >> (pass * kDigitBits)) & (kBuckets - 1);
}

// Turns bucket sizes into bucket starts.
void to_offsets(BucketCounts& counts) {
    uint32_t running = 0;
    for (uint32_t& slot : counts) {
        const uint32_t size = slot;
        slot = running;
        running += size;
    }
}

// Most-significant-digit partitioning that refines only the buckets holding a wanted
// position. On return a[p - base] is the p-th smallest key of the range for every wanted
// p in want[0 .. n_want); `pass` is the digit to split on next.
void select_range(uint64_t* a, uint64_t* spare, int64_t n, int64_t base, int pass,
                  const int64_t* want, int64_t n_want) {
    if (n_want == 0 || n <= 1) return;
    if (n < kRadixMinimum) {
        std::sort(a, a + n);
        return;
    }
    for (; pass >= 0; --pass) {
        BucketCounts counts{};
        for (int64_t i = 0; i < n; ++i) ++counts[digit(a[i], pass)];
        // A digit that every key shares does not split the range.
        if (counts[digit(a[0], pass)] == n) continue;

        // Scattering turns the bucket starts into bucket ends.
        BucketCounts ends = counts;
        to_offsets(ends);
        for (int64_t i = 0; i < n; ++i) {
            const uint64_t key = a[i];
            spare[ends[digit(key, pass)]++] = key;
        }
        // Each bucket holding wanted positions is refined inside spare, with a as its
        // scratch, and the wanted keys are copied back.
        int64_t w = 0;
        while (w < n_want) {
            const int64_t local = want[w] - base;
            const auto bucket = static_cast<size_t>(
                std::upper_bound(ends.begin(), ends.end(), static_cast<uint32_t>(local)) -
                ends.begin());
            const int64_t hi = ends[bucket];
            const int64_t lo = hi - counts[bucket];
            int64_t w_end = w;
            while (w_end < n_want && want[w_end] - base < hi) ++w_end;
            select_range(spare + lo, a + lo, hi - lo, base + lo, pass - 1, want + w, w_end - w);
            for (int64_t k = w; k < w_end; ++k) a[want[k] - base] = spare[want[k] - base];
            w = w_end;
        }
        return;
    }
    // Every digit is shared: the keys are all equal and already in order.
}

}  // namespace

const uint64_t* sort_keys(uint64_t* keys, uint64_t* spare, int64_t n) {
    if (n < kRadixMinimum) {
        std::sort(keys, keys + n);
        return keys;
    }
    // One counting pass fills the bucket sizes of every digit at once.
    std::array<BucketCounts, kPasses> counts{};
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t key = keys[i];
        for (int pass = 0; pass < kPasses; ++pass) ++counts[pass][digit(key, pass)];
    }
    uint64_t* from = keys;
    uint64_t* to = spare;
    for (int pass = 0; pass < kPasses; ++pass) {
        BucketCounts& offsets = counts[pass];
        // A digit that every key shares leaves the order as it is.
        if (offsets[digit(from[0], pass)] == n) continue;
        to_offsets(offsets);
        for (int64_t i = 0; i < n; ++i) {
            const uint64_t key = from[i];
            to[offsets[digit(key, pass)]++] = key;
        }
        std::swap(from, to);
    }
    return from;
}

void select_keys(uint64_t* keys, uint64_t* spare, int64_t n, const std::vector<int64_t>& want) {
    select_range(keys, spare, n, 0, kPasses - 1, want.data(), static_cast<int64_t>(want.size()));
}

}  // namespace vorlent
