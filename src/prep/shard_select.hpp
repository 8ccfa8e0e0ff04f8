#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

// Exact order statistics of keys spread over any number of shards, found from per-shard
// counts alone, so that the answer does not depend on how the keys are split or ordered.
//
// A radix selection over the 64-bit keys of common/total_order.hpp, most significant digit
// first, 8 bits per round. In each round a coordinator asks every shard to count its keys
// under a few prefixes (the `SelectRound`); the shards answer with flat count buffers
// (count_keys), the buffers are added (merge_counts, in any order and grouping), and
// RankSelection::decide picks, for every wanted rank, the digit it falls in and its rank
// within that digit. A prefix whose keys are all equal (smallest = largest) ends early, so
// heavy duplicates cost one round. At most 8 rounds; a round's buffer holds kSelectSlot
// 64-bit entries per prefix, and a round has at most one prefix per wanted rank.

namespace vorlent {

inline constexpr int kSelectDigitBits = 8;
inline constexpr int kSelectDigits = 1 << kSelectDigitBits;
// A prefix's entries in a count buffer: the count of each next digit, then the smallest and
// the largest key under the prefix (UINT64_MAX and 0 when it has none).
inline constexpr size_t kSelectSlot = kSelectDigits + 2;

// What every shard counts in one round: its keys whose top `depth` bits are one of
// `prefixes` (ascending, distinct), by their next digit.
struct SelectRound {
    int32_t depth = 0;  // bits already decided: 0, 8, ..., 56
    std::vector<uint64_t> prefixes;

    size_t buffer_size() const { return prefixes.size() * kSelectSlot; }
};

// A count buffer that adds nothing: zero counts, no smallest or largest key.
std::vector<uint64_t> empty_counts(const SelectRound& round);

// (a) One shard's counts for a round, written over out[0 .. round.buffer_size()).
void count_keys(const uint64_t* keys, int64_t n, const SelectRound& round, uint64_t* out);

// As count_keys, and moves the keys under the round's prefixes to the front of keys
// (their order changes), returning how many there are. Only they can matter in later rounds,
// so a shard that keeps its keys between rounds scans fewer and fewer.
int64_t count_and_narrow(uint64_t* keys, int64_t n, const SelectRound& round, uint64_t* out);

// (b) Adds the counts of `from` to `into` and keeps the smaller smallest and the larger
// largest key. Commutative and associative. Both have `size` entries.
void merge_counts(uint64_t* into, const uint64_t* from, size_t size);

// (c) The coordinator's side: the ranks wanted, and where each one stands.
class RankSelection {
public:
    // ranks: 0-based positions in the ascending order of every shard's keys together, each
    // below their total count, in any order, repeats allowed.
    explicit RankSelection(std::vector<uint64_t> ranks);

    bool done() const { return round_.prefixes.empty(); }
    // The round the shards count next (no prefixes once done).
    const SelectRound& round() const { return round_; }
    // Takes the merged buffer of the current round. Throws std::invalid_argument when it has
    // the wrong size or a rank lies beyond the keys counted under its prefix.
    void decide(const std::vector<uint64_t>& merged);
    // The key at the i-th wanted rank, once done.
    uint64_t key(size_t i) const { return keys_[i]; }

private:
    void next_round();

    std::vector<uint64_t> prefix_;  // per wanted rank, its decided top bits
    std::vector<uint64_t> rank_;    // per wanted rank, its rank among the keys under the prefix
    std::vector<uint64_t> keys_;    // per wanted rank, its key once found
    std::vector<uint8_t> found_;
    SelectRound round_;
};

// Drives a RankSelection over shards held in one process: the keys of each shard (which
// count_and_narrow reorders and shrinks) and the wanted ranks; returns their keys.
std::vector<uint64_t> select_ranks(std::vector<std::vector<uint64_t>>& shards,
                                   const std::vector<uint64_t>& ranks);

}  // namespace vorlent
