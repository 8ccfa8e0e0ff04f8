#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "exact/stats_codec.hpp"

using namespace vorlent;

// Packing gives back every word, at every magnitude and sign (each bit length and its
// neighbours, the extremes), and spends one byte on a word below 64 in magnitude.
TEST(StatsCodec, UnpackingGivesBackEveryWord) {
    std::vector<int64_t> words = {0, 1, -1, 63, -64, 64, -65, std::numeric_limits<int64_t>::max(),
                                  std::numeric_limits<int64_t>::min()};
    for (int bits = 1; bits < 63; ++bits) {
        const int64_t p = int64_t{1} << bits;
        for (const int64_t w : {p - 1, p, p + 1}) {
            words.push_back(w);
            words.push_back(-w);
        }
    }
    std::mt19937_64 gen(11);
    for (int i = 0; i < 2000; ++i) {
        words.push_back(static_cast<int64_t>(gen() >> (1 + gen() % 63)) * (i % 2 == 0 ? 1 : -1));
    }
    const std::vector<uint8_t> packed = pack_words(words.data(), std::ssize(words));
    std::vector<int64_t> back = {42};
    unpack_words(packed.data(), packed.size(), back);
    EXPECT_EQ(back, words);

    const std::vector<int64_t> small = {0, 5, -7, 63, -64, 0};
    EXPECT_EQ(pack_words(small.data(), std::ssize(small)).size(), small.size());
}

TEST(StatsCodec, BytesThatPackingCannotMakeAreRefused) {
    std::vector<int64_t> out;
    const std::vector<uint8_t> cut = {0x05, 0x80, 0x80};
    EXPECT_THROW(unpack_words(cut.data(), cut.size(), out), std::invalid_argument);
    std::vector<uint8_t> too_long(9, 0xFF);
    too_long.push_back(0x02);  // a 65th bit
    EXPECT_THROW(unpack_words(too_long.data(), too_long.size(), out), std::invalid_argument);
    too_long.back() = 0x01;
    unpack_words(too_long.data(), too_long.size(), out);
    EXPECT_EQ(out, std::vector<int64_t>{std::numeric_limits<int64_t>::min()});
}
