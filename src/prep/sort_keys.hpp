#pragma once
#include <cstdint>
#include <vector>

#include "common/total_order.hpp"

namespace vorlent {

// Sorts keys[0 .. n) ascending, using spare[0 .. n) as the second buffer of a
// least-significant-digit radix sort. Returns the buffer that holds the sorted keys
// (keys or spare); the other one is left with scratch contents.
const uint64_t* sort_keys(uint64_t* keys, uint64_t* spare, int64_t n);

// Puts the keys that a sort would place at the wanted positions (ascending, distinct,
// each below n) at those positions of keys, without sorting the rest; spare[0 .. n) is
// scratch. Much cheaper than a sort when only a few order statistics are needed.
void select_keys(uint64_t* keys, uint64_t* spare, int64_t n, const std::vector<int64_t>& want);

}  // namespace vorlent
