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

inline uint32_t digit(uint64_t key, int pass) {
    return static_cast<uint32_t>(key >> (pass * kDigitBits)) & (kBuckets - 1);
}

}  // namespace

const uint64_t* sort_keys(uint64_t* keys, uint64_t* spare, int64_t n) {
    if (n < kRadixMinimum) {
        std::sort(keys, keys + n);
        return keys;
    }
    // One counting pass fills the bucket sizes of every digit at once.
    std::array<std::array<int64_t, kBuckets>, kPasses> counts{};
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t key = keys[i];
        for (int pass = 0; pass < kPasses; ++pass) ++counts[pass][digit(key, pass)];
    }
    uint64_t* from = keys;
    uint64_t* to = spare;
    for (int pass = 0; pass < kPasses; ++pass) {
        std::array<int64_t, kBuckets>& offsets = counts[pass];
        // A digit that every key shares leaves the order as it is.
        if (offsets[digit(from[0], pass)] == n) continue;
        int64_t running = 0;
        for (int64_t& slot : offsets) {
            const int64_t size = slot;
            slot = running;
            running += size;
        }
        for (int64_t i = 0; i < n; ++i) {
            const uint64_t key = from[i];
            to[offsets[digit(key, pass)]++] = key;
        }
        std::swap(from, to);
    }
    return from;
}

}  // namespace vorlent
