#include "prep/shard_select.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorlent {
namespace {

constexpr uint64_t kNoKey = std::numeric_limits<uint64_t>::max();
constexpr int32_t kKeyBits = 64;

// The top `depth` bits of a key (none at depth 0, where a shift by 64 would be undefined).
inline uint64_t prefix_of(uint64_t key, int32_t depth) {
    return depth == 0 ? 0 : key >> (kKeyBits - depth);
}
inline uint32_t digit_of(uint64_t key, int32_t depth) {
    return static_cast<uint32_t>(key >> (kKeyBits - kSelectDigitBits - depth)) &
           (kSelectDigits - 1);
}

// The slot of a prefix among the round's sorted prefixes, or -1: a branch-free lower bound.
inline int64_t slot_of(const uint64_t* prefixes, int64_t n_prefixes, uint64_t prefix) {
    const uint64_t* base = prefixes;
    int64_t len = n_prefixes;
    while (len > 1) {
        const int64_t half = len >> 1;
        base = base[half - 1] < prefix ? base + half : base;
        len -= half;
    }
    return *base == prefix ? base - prefixes : -1;
}

void clear_counts(uint64_t* out, size_t n_prefixes) {
    for (size_t s = 0; s < n_prefixes; ++s) {
        uint64_t* slot = out + s * kSelectSlot;
        std::fill(slot, slot + kSelectDigits, uint64_t{0});
        slot[kSelectDigits] = kNoKey;
        slot[kSelectDigits + 1] = 0;
    }
}

inline void tally(uint64_t* slot, uint64_t key, int32_t depth) {
    ++slot[digit_of(key, depth)];
    slot[kSelectDigits] = std::min(slot[kSelectDigits], key);
    slot[kSelectDigits + 1] = std::max(slot[kSelectDigits + 1], key);
}

// Counts the keys whose slot (-1: none) slot_of_key finds; with narrow, also moves them to
// the front.
template <bool narrow, class SlotOf>
int64_t tally_keys(uint64_t* keys, int64_t n, int32_t depth, uint64_t* out,
                   SlotOf&& slot_of_key) {
    int64_t kept = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t key = keys[i];
        const int64_t slot = slot_of_key(key);
        if (slot < 0) continue;
        tally(out + slot * kSelectSlot, key, depth);
        if constexpr (narrow) keys[kept++] = key;
    }
    return kept;
}

// tally_keys for many keys (fewer than 2^32): the counts in 32 bits and apart from the
// smallest and largest keys, half the memory the loop reaches at random, then written out.
template <bool narrow, class SlotOf>
int64_t tally_many_keys(uint64_t* keys, int64_t n, int32_t depth, size_t n_slots, uint64_t* out,
                        SlotOf&& slot_of_key) {
    std::vector<uint32_t> counts(n_slots * kSelectDigits, 0);
    std::vector<uint64_t> extremes(n_slots * 2);
    for (size_t s = 0; s < n_slots; ++s) {
        extremes[2 * s] = kNoKey;
        extremes[2 * s + 1] = 0;
    }
    int64_t kept = 0;
    for (int64_t i = 0; i < n; ++i) {
        const uint64_t key = keys[i];
        const int64_t slot = slot_of_key(key);
        if (slot < 0) continue;
        ++counts[static_cast<size_t>(slot) * kSelectDigits + digit_of(key, depth)];
        uint64_t* extreme = extremes.data() + 2 * slot;
        extreme[0] = std::min(extreme[0], key);
        extreme[1] = std::max(extreme[1], key);
        if constexpr (narrow) keys[kept++] = key;
    }
    for (size_t s = 0; s < n_slots; ++s) {
        uint64_t* slot = out + s * kSelectSlot;
        std::copy(counts.begin() + static_cast<std::ptrdiff_t>(s * kSelectDigits),
                  counts.begin() + static_cast<std::ptrdiff_t>((s + 1) * kSelectDigits), slot);
        slot[kSelectDigits] = extremes[2 * s];
        slot[kSelectDigits + 1] = extremes[2 * s + 1];
    }
    return kept;
}

// From this many keys on, a round finds a key's prefix through a table on the key's top 16
// bits, which costs a pass over the table to build, instead of a binary search per key.
constexpr int64_t kTableKeys = int64_t{1} << 17;
constexpr int32_t kTopBits = 16;
constexpr size_t kTops = size_t{1} << kTopBits;
constexpr size_t kBlock = kSelectDigits + 1;

// The round's prefixes by the top bits of the keys under them. At depth 16 or less a key's
// top 16 bits decide its prefix: slot[top] is its slot (-1: none). Deeper, the prefixes
// that share a key's top 24 bits are slots first[at] .. first[at + 1], searched as slot_of
// does (at most one at depth 24), where at is the key's next byte in the block of 257 entries
// that block[top] (0: none) numbers from 1.
struct TopTable {
    std::vector<int32_t> slot;
    std::vector<uint32_t> block;
    std::vector<uint32_t> first;

    explicit TopTable(const SelectRound& round) {
        const int32_t depth = round.depth;
        const std::vector<uint64_t>& prefixes = round.prefixes;
        if (depth <= kTopBits) {
            slot.assign(kTops, -1);
            const int32_t spread = kTopBits - depth;
            for (size_t s = 0; s < prefixes.size(); ++s) {
                // A prefix of more than depth bits is under no key.
                if (prefixes[s] >> depth != 0) continue;
                const auto begin = static_cast<std::ptrdiff_t>(prefixes[s] << spread);
                const auto width = std::ptrdiff_t{1} << spread;
                std::fill(slot.begin() + begin, slot.begin() + begin + width,
                          static_cast<int32_t>(s));
            }
            return;
        }
        block.assign(kTops, 0);
        // Per block, its first slot then, per next byte, the slots up to it (ascending
        // prefixes: a block's slots are consecutive).
        first.assign(kBlock, 0);
        for (size_t s = 0; s < prefixes.size(); ++s) {
            const uint64_t top = prefixes[s] >> (depth - kTopBits);
            if (top >= kTops) break;  // longer than depth bits, as all after it
            if (block[top] == 0) {
                block[top] = static_cast<uint32_t>(first.size() / kBlock);
                first.resize(first.size() + kBlock, static_cast<uint32_t>(s));
            }
            const size_t byte = (prefixes[s] >> (depth - kTopBits - kSelectDigitBits)) & 0xff;
            uint32_t* at = first.data() + block[top] * kBlock;
            for (size_t b = byte + 1; b < kBlock; ++b) at[b] = static_cast<uint32_t>(s + 1);
        }
    }
};

// Counts the keys under the round's prefixes; with narrow, also moves them to the front.
template <bool narrow>
int64_t count_round(uint64_t* keys, int64_t n, const SelectRound& round, uint64_t* out) {
    const auto n_prefixes = static_cast<int64_t>(round.prefixes.size());
    clear_counts(out, round.prefixes.size());
    if (n_prefixes == 0) return 0;
    const int32_t depth = round.depth;
    if (depth == 0) {
        // Every key is under the empty prefix: a plain digit histogram.
        uint64_t lowest = kNoKey;
        uint64_t highest = 0;
        for (int64_t i = 0; i < n; ++i) {
            const uint64_t key = keys[i];
            ++out[key >> (kKeyBits - kSelectDigitBits)];
            lowest = std::min(lowest, key);
            highest = std::max(highest, key);
        }
        out[kSelectDigits] = lowest;
        out[kSelectDigits + 1] = highest;
        return n;
    }
    const uint64_t* prefixes = round.prefixes.data();
    if (n < kTableKeys || n > int64_t{std::numeric_limits<uint32_t>::max()}) {
        return tally_keys<narrow>(keys, n, depth, out, [&](uint64_t key) {
            return slot_of(prefixes, n_prefixes, prefix_of(key, depth));
        });
    }
    const TopTable table(round);
    const size_t n_slots = round.prefixes.size();
    if (depth <= kTopBits) {
        const int32_t* slot = table.slot.data();
        return tally_many_keys<narrow>(keys, n, depth, n_slots, out, [&](uint64_t key) {
            return static_cast<int64_t>(slot[key >> (kKeyBits - kTopBits)]);
        });
    }
    const uint32_t* block = table.block.data();
    const uint32_t* first = table.first.data();
    const int32_t byte_shift = kKeyBits - kTopBits - kSelectDigitBits;
    return tally_many_keys<narrow>(keys, n, depth, n_slots, out, [&](uint64_t key) -> int64_t {
        const uint32_t* at = first + block[key >> (kKeyBits - kTopBits)] * kBlock +
                             ((key >> byte_shift) & 0xff);
        const uint32_t begin = at[0];
        const uint32_t end = at[1];
        if (begin == end) return -1;
        const int64_t found = slot_of(prefixes + begin, end - begin, prefix_of(key, depth));
        return found < 0 ? -1 : begin + found;
    });
}

}  // namespace

std::vector<uint64_t> empty_counts(const SelectRound& round) {
    std::vector<uint64_t> out(round.buffer_size());
    clear_counts(out.data(), round.prefixes.size());
    return out;
}

void count_keys(const uint64_t* keys, int64_t n, const SelectRound& round, uint64_t* out) {
    // The non-narrowing instance never writes through the pointer.
    count_round<false>(const_cast<uint64_t*>(keys), n, round, out);
}

int64_t count_and_narrow(uint64_t* keys, int64_t n, const SelectRound& round, uint64_t* out) {
    return count_round<true>(keys, n, round, out);
}

void merge_counts(uint64_t* into, const uint64_t* from, size_t size) {
    for (size_t at = 0; at + kSelectSlot <= size; at += kSelectSlot) {
        for (size_t d = 0; d < kSelectDigits; ++d) into[at + d] += from[at + d];
        into[at + kSelectDigits] = std::min(into[at + kSelectDigits], from[at + kSelectDigits]);
        into[at + kSelectDigits + 1] =
            std::max(into[at + kSelectDigits + 1], from[at + kSelectDigits + 1]);
    }
}

RankSelection::RankSelection(std::vector<uint64_t> ranks)
    : prefix_(ranks.size(), 0),
      rank_(std::move(ranks)),
      keys_(rank_.size(), 0),
      found_(rank_.size(), 0) {
    round_.depth = 0;
    if (!rank_.empty()) round_.prefixes = {0};
}

void RankSelection::decide(const std::vector<uint64_t>& merged) {
    if (merged.size() != round_.buffer_size()) {
        throw std::invalid_argument("count buffer has " + std::to_string(merged.size()) +
                                    " entries, the round needs " +
                                    std::to_string(round_.buffer_size()));
    }
    const auto& prefixes = round_.prefixes;
    const int32_t depth = round_.depth;
    for (size_t i = 0; i < rank_.size(); ++i) {
        if (found_[i]) continue;
        const auto slot = static_cast<size_t>(
            std::lower_bound(prefixes.begin(), prefixes.end(), prefix_[i]) - prefixes.begin());
        const uint64_t* counts = merged.data() + slot * kSelectSlot;
        uint64_t below = 0;
        int32_t d = 0;
        while (d < kSelectDigits && below + counts[d] <= rank_[i]) below += counts[d++];
        if (d == kSelectDigits) {
            throw std::invalid_argument("rank " + std::to_string(rank_[i]) + " lies beyond the " +
                                        std::to_string(below) + " keys counted under its prefix");
        }
        if (counts[kSelectDigits] == counts[kSelectDigits + 1]) {
            // Every key under the prefix is the same: no need to read further digits.
            keys_[i] = counts[kSelectDigits];
            found_[i] = 1;
            continue;
        }
        prefix_[i] = (prefix_[i] << kSelectDigitBits) | static_cast<uint64_t>(d);
        rank_[i] -= below;
        if (depth + kSelectDigitBits == kKeyBits) {
            keys_[i] = prefix_[i];
            found_[i] = 1;
        }
    }
    round_.depth = depth + kSelectDigitBits;
    next_round();
}

void RankSelection::next_round() {
    round_.prefixes.clear();
    for (size_t i = 0; i < rank_.size(); ++i) {
        if (!found_[i]) round_.prefixes.push_back(prefix_[i]);
    }
    std::sort(round_.prefixes.begin(), round_.prefixes.end());
    round_.prefixes.erase(std::unique(round_.prefixes.begin(), round_.prefixes.end()),
                          round_.prefixes.end());
}

std::vector<uint64_t> select_ranks(std::vector<std::vector<uint64_t>>& shards,
                                   const std::vector<uint64_t>& ranks) {
    RankSelection selection(ranks);
    std::vector<int64_t> live(shards.size());
    for (size_t s = 0; s < shards.size(); ++s) live[s] = static_cast<int64_t>(shards[s].size());
    std::vector<uint64_t> buffer;
    while (!selection.done()) {
        const SelectRound& round = selection.round();
        std::vector<uint64_t> merged = empty_counts(round);
        buffer.resize(round.buffer_size());
        for (size_t s = 0; s < shards.size(); ++s) {
            live[s] = count_and_narrow(shards[s].data(), live[s], round, buffer.data());
            merge_counts(merged.data(), buffer.data(), merged.size());
        }
        selection.decide(merged);
    }
    std::vector<uint64_t> keys(ranks.size());
    for (size_t i = 0; i < ranks.size(); ++i) keys[i] = selection.key(i);
    return keys;
}

}  // namespace vorlent
