#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "common/random.hpp"

using namespace vorlent;

namespace {
std::vector<int32_t> iota_vector(int n) {
    std::vector<int32_t> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
}
}  // namespace

TEST(ShuffleIndices, PinnedVectors) {
    Rng five(42);
    std::vector<int32_t> a = iota_vector(5);
    shuffle_indices(a, five);
    EXPECT_EQ(a, (std::vector<int32_t>{4, 0, 2, 3, 1}));

    Rng rng(42);
    std::vector<int32_t> b = iota_vector(10);
    shuffle_indices(b, rng);
    EXPECT_EQ(b, (std::vector<int32_t>{4, 9, 2, 3, 7, 8, 1, 5, 6, 0}));
    shuffle_indices(b, rng);
    EXPECT_EQ(b, (std::vector<int32_t>{7, 0, 5, 2, 3, 6, 1, 8, 9, 4}));
}

TEST(ShuffleIndices, ShortArraysDrawNothing) {
    Rng used(7);
    Rng fresh(7);
    std::vector<int32_t> empty;
    std::vector<int32_t> one{5};
    shuffle_indices(empty, used);
    shuffle_indices(one, used);
    EXPECT_EQ(one[0], 5);
    EXPECT_EQ(used(), fresh());
}

TEST(ShuffleIndices, IsAPermutationAndUniformish) {
    Rng rng(1);
    std::vector<int> first_position_counts(6, 0);
    for (int trial = 0; trial < 6000; ++trial) {
        std::vector<int32_t> v = iota_vector(6);
        shuffle_indices(v, rng);
        std::vector<int32_t> sorted = v;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, iota_vector(6));
        ++first_position_counts[v[0]];
    }
    for (int c : first_position_counts) {
        EXPECT_GT(c, 850);
        EXPECT_LT(c, 1150);
    }
}

TEST(UniformBelow, RejectsTheBiasedLowRange) {
    // A reference that follows the multiply-shift rule draw by draw.
    Rng a(123);
    Rng b(123);
    for (uint32_t bound : {1u, 2u, 3u, 7u, 1000u, 0x80000001u, 0xFFFFFFFFu}) {
        for (int k = 0; k < 200; ++k) {
            uint64_t p = uint64_t(uint32_t(b())) * bound;
            uint32_t low = uint32_t(p);
            if (low < bound) {
                const uint32_t t = uint32_t(uint64_t(0x100000000ull - bound) % bound);
                while (low < t) {
                    p = uint64_t(uint32_t(b())) * bound;
                    low = uint32_t(p);
                }
            }
            const uint32_t got = uniform_below(a, bound);
            ASSERT_EQ(got, uint32_t(p >> 32));
            ASSERT_LT(got, bound);
        }
    }
}

TEST(Rng, DefaultSeedIs5489) {
    Rng a;
    Rng b(5489);
    EXPECT_EQ(a(), b());
}
