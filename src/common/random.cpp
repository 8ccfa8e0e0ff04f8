#include "common/random.hpp"

#include <algorithm>
#include <utility>

namespace vorlent {

namespace {

// uniform_below, inlined into the shuffle's loop.
inline uint32_t draw_below(Rng& rng, uint32_t bound) {
    uint64_t product = static_cast<uint64_t>(static_cast<uint32_t>(rng())) * bound;
    uint32_t low = static_cast<uint32_t>(product);
    if (low < bound) {
        const uint32_t threshold = static_cast<uint32_t>(-bound) % bound;
        while (low < threshold) {
            product = static_cast<uint64_t>(static_cast<uint32_t>(rng())) * bound;
            low = static_cast<uint32_t>(product);
        }
    }
    return static_cast<uint32_t>(product >> 32);
}

}  // namespace

uint32_t uniform_below(Rng& rng, uint32_t bound) { return draw_below(rng, bound); }

void shuffle_indices(int32_t* a, int64_t m, Rng& rng) {
    // The draws do not depend on the array, so they run kAhead steps ahead of the swaps
    // and the entry each swap will touch is fetched early: on a large array the swaps
    // would otherwise wait on one cache miss after another.
    constexpr int64_t kAhead = 64;
    uint32_t ahead[kAhead];
    const int64_t primed = std::min(m, kAhead + 1);
    for (int64_t i = 1; i < primed; ++i) {
        const uint32_t j = draw_below(rng, static_cast<uint32_t>(i + 1));
        ahead[i % kAhead] = j;
        __builtin_prefetch(a + j, 1);
    }
    for (int64_t i = 1; i < m; ++i) {
        const int64_t j = ahead[i % kAhead];
        const int64_t later = i + kAhead;
        if (later < m) {
            const uint32_t k = draw_below(rng, static_cast<uint32_t>(later + 1));
            ahead[later % kAhead] = k;
            __builtin_prefetch(a + k, 1);
        }
        if (j != i) std::swap(a[i], a[j]);
    }
}

}  // namespace vorlent
