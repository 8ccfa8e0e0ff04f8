#pragma once
#include <cstdint>
#include <vector>

#include "prep/shard_select.hpp"

// One column's keys as a shard holds them through the rounds of its selection.
//
// While taking the keys it counts them by their top 24 bits, in a block of counts per top 16
// bits that occur, with the smallest and largest key of each block. The first three rounds
// (depth 0, 8 and 16), which on most data narrow little (a double key's top bits are its sign,
// exponent and first mantissa bits), are answered from those counts without reading a key,
// and the first pass over the keys is the one at depth 24, which narrows them to few. Data of
// so wide a range that its blocks grow past kMaxBlocks is counted from the keys in every
// round. Later rounds count the keys and move the ones under the round's prefixes to the
// front, as count_and_narrow does; every answer is the buffer count_keys gives on the keys.

namespace vorlent {

class SelectKeys {
public:
    static constexpr size_t kMaxBlocks = 4096;

    // Drops every key: the column's selection starts again.
    void clear();
    // Room for n keys, so that taking them does not grow the buffer again and again.
    void reserve(int64_t n) { keys_.reserve(static_cast<size_t>(n)); }
    // Takes the keys of n more values (NaN, the missing value, has none), before any round
    // is counted.
    void append(const double* values, int64_t n);
    // The keys still held: all those taken, less the ones that a round left out.
    int64_t live() const { return live_; }
    bool narrowed() const { return live_ != static_cast<int64_t>(keys_.size()); }
    // The round's counts over out[0 .. round.buffer_size()). The rounds counted since the
    // keys were taken must each refine the one before (one digit deeper, under its prefixes),
    // as RankSelection asks them.
    void count(const SelectRound& round, uint64_t* out);

private:
    std::vector<uint64_t> keys_;
    int64_t live_ = 0;
    // Over every key taken, while no round has narrowed them: per top 16 bits its block (-1:
    // none), per block its top 16 bits, the count of its keys under each next byte, and its
    // smallest and largest key.
    std::vector<int32_t> block_of_;
    std::vector<uint32_t> block_top_;
    std::vector<uint32_t> block_counts_;
    std::vector<uint64_t> block_extremes_;
    bool counted_ = false;  // the blocks above hold every key taken, and all are live

    int32_t new_block(uint32_t top);
    void drop_blocks();
    void count_from_blocks(const SelectRound& round, uint64_t* out) const;
};

}  // namespace vorlent
