#pragma once
#include <bit>
#include <cstdint>

namespace vorlent {

// Maps a non-NaN double to an unsigned key whose integer order is the numeric order of the
// doubles (-0.0 sorts just before +0.0), so that doubles can be radix-sorted as integers and
// compared in one total order.
inline uint64_t sort_key(double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    return (bits >> 63) != 0 ? ~bits : (bits | (uint64_t{1} << 63));
}

inline double key_value(uint64_t key) {
    return std::bit_cast<double>((key >> 63) != 0 ? (key & ~(uint64_t{1} << 63)) : ~key);
}

}  // namespace vorlent
