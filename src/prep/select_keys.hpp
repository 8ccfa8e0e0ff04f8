#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "prep/shard_select.hpp"

// One column's keys as a shard holds them through the rounds of its selection.
//
// While taking the keys it counts them by their top 16 bits and keeps the smallest and
// largest key under each top byte, so that the first two rounds (depth 0 and 8, which on
// most data narrow nothing: the top bits of a double's key are its sign and exponent) are
// answered from those counts without reading a key. Later rounds count the keys and move
// the ones under the round's prefixes to the front, as count_and_narrow does; every answer is
// the buffer count_keys gives on the keys taken.

namespace vorlent {

class SelectKeys {
public:
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
    // Over every key taken, while no round has read them: the count under each top 16 bits,
    // and the smallest and largest key under each top byte, in kLanes lanes that the keys
    // take in turn, so that a run of keys under the same byte does not wait on its stores.
    static constexpr size_t kLanes = 4;
    std::vector<uint32_t> top_counts_;
    std::array<uint64_t, kLanes * kSelectDigits> top_low_{};
    std::array<uint64_t, kLanes * kSelectDigits> top_high_{};
    bool counted_ = false;  // the counts above hold every key taken, and all are live

    void count_from_top(const SelectRound& round, uint64_t* out) const;
    uint64_t lowest_under(size_t byte) const;
    uint64_t highest_under(size_t byte) const;
};

}  // namespace vorlent
