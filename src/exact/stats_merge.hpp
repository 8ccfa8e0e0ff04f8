#pragma once
#include <cstdint>
#include <vector>

#include "exact/stats_request.hpp"

// How statistics buffers merge: every kind word by word with a pattern of its own, so that
// shards, threads and row orders all give the same words.

namespace vorlent {

// (b) Adds `from` into `into`: both must hold the same request's statistics (same header),
// else std::invalid_argument. Commutative and associative, so the merge order is free.
void merge_stats(std::vector<int64_t>& into, const std::vector<int64_t>& from);
// The merge of n words of a kind's blocks (n a whole number of its patterns).
void merge_words(int64_t kind, int64_t* into, const int64_t* from, int64_t n);
// Adds n words of `from` into `into`: the merge of the kinds whose words all add.
void add_words(int64_t* into, const int64_t* from, int64_t n);

}  // namespace vorlent
