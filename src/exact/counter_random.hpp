#pragma once
#include <cstdint>
#include <vector>

// Randomness of exact_sums training that depends on no order: every draw is a hash of what
// it is for (seed, tree, row or node) rather than the next number of a stream, so that any
// split of the rows into shards and any order of growing the nodes draws the same.

namespace vorlent {

// splitmix64's finaliser: a bijection of 64-bit words that mixes every bit into every bit.
inline uint64_t mix64(uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// The hash of a counter under a key.
inline uint64_t counter_hash(uint64_t key, uint64_t counter) { return mix64(mix64(key) ^ counter); }

// A hash as a uniform double in [0, 1): its top 53 bits.
inline double unit_interval(uint64_t h) { return static_cast<double>(h >> 11) * 0x1p-53; }

// Streams of one seed, so that the bag and the column samples never share draws.
inline constexpr uint64_t kBagStream = 0x6261672d726f7773ULL;
inline constexpr uint64_t kColumnStream = 0x636f6c756d6e7321ULL;

// The key of tree `tree` (its index in the ensemble) in a stream.
inline uint64_t tree_key(uint64_t stream, uint32_t seed, int64_t tree) {
    return counter_hash(counter_hash(stream, seed), static_cast<uint64_t>(tree));
}

// Whether a row (by its global index) is in the bag of the tree whose bag key is given: a
// uniform draw below subsample. Rows are drawn independently, so the bag size varies around
// subsample times the row count.
inline bool in_bag(uint64_t bag_key, int64_t global_row, double subsample) {
    return subsample >= 1.0 ||
           unit_interval(counter_hash(bag_key, static_cast<uint64_t>(global_row))) < subsample;
}

// The column-sample key of a node's child (side 0 left, 1 right); the root's key is
// tree_key(kColumnStream, seed, tree). A node's key is thus a function of its position.
inline uint64_t child_key(uint64_t node_key, int32_t side) {
    return counter_hash(node_key, static_cast<uint64_t>(side) + 1);
}

// The node's columns, ascending: all of them when colsample >= 1, else the
// max(ceil(n_features * colsample), 2) (at most n_features) columns with the smallest hashes
// under the node's key (ties to the smaller column). `draws` is scratch.
void sample_node_columns(uint64_t node_key, int32_t n_features, double colsample,
                         std::vector<int32_t>& out, std::vector<uint64_t>& draws);

}  // namespace vorlent
