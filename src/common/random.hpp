#pragma once
#include <cstdint>
#include <random>
#include <vector>

namespace vorlent {

// The one random engine of the system: 32-bit Mersenne Twister with standard seeding.
using Rng = std::mt19937;

// A uniform integer in 0 .. bound-1 by multiply-shift with rejection.
uint32_t uniform_below(Rng& rng, uint32_t bound);

// Front-to-back exchange shuffle: for i = 1 .. m-1, swap a[i] with a[j], j uniform in 0 .. i.
// The exact sequence of draws is part of the contract: seeds reproduce models and folds.
void shuffle_indices(int32_t* a, int64_t m, Rng& rng);
inline void shuffle_indices(std::vector<int32_t>& a, Rng& rng) {
    shuffle_indices(a.data(), static_cast<int64_t>(a.size()), rng);
}

}  // namespace vorlent
