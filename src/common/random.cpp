#include "common/random.hpp"

#include <utility>

namespace vorlent {

uint32_t uniform_below(Rng& rng, uint32_t bound) {
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

void shuffle_indices(int32_t* a, int64_t m, Rng& rng) {
    for (int64_t i = 1; i < m; ++i) {
        const int64_t j = uniform_below(rng, static_cast<uint32_t>(i + 1));
        if (j != i) std::swap(a[i], a[j]);
    }
}

}  // namespace vorlent
