#pragma once
#include <bit>
#include <cstdint>
#include <vector>

namespace vorlent {

// Maps a non-NaN double to an unsigned key whose integer order is the numeric order of the
// doubles (-0.0 sorts just before +0.0), so that doubles can be radix-sorted as integers.
inline uint64_t sort_key(double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    return (bits >> 63) != 0 ? ~bits : (bits | (uint64_t{1} << 63));
}

inline double key_value(uint64_t key) {
    return std::bit_cast<double>((key >> 63) != 0 ? (key & ~(uint64_t{1} << 63)) : ~key);
}

// Sorts keys[0 .. n) ascending, using spare[0 .. n) as the second buffer of a
// least-significant-digit radix sort. Returns the buffer that holds the sorted keys
// (keys or spare); the other one is left with scratch contents.
const uint64_t* sort_keys(uint64_t* keys, uint64_t* spare, int64_t n);

// Puts the keys that a sort would place at the wanted positions (ascending, distinct,
// each below n) at those positions of keys, without sorting the rest; spare[0 .. n) is
// scratch. Much cheaper than a sort when only a few order statistics are needed.
void select_keys(uint64_t* keys, uint64_t* spare, int64_t n, const std::vector<int64_t>& want);

}  // namespace vorlent
