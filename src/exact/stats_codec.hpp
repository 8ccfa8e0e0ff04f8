#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Statistics buffers as they cross between processes. Each int64 word is zigzag-mapped
// (small magnitudes of either sign become small numbers) and written in groups of 7 bits,
// lowest first, the top bit of a byte telling that another follows. The zero words that
// empty bins are full of take one byte, counts and most sums a few, so a histogram buffer
// shrinks several times; unpacking gives back the same words, so nothing that is merged or
// decided changes.

namespace vorlent {

// The packed bytes of n words.
std::vector<uint8_t> pack_words(const int64_t* words, int64_t n);

// The words of packed bytes, written over out. Throws std::invalid_argument on bytes that
// packing cannot have made (a last word cut short, a word longer than 64 bits).
void unpack_words(const uint8_t* bytes, size_t size, std::vector<int64_t>& out);

}  // namespace vorlent
