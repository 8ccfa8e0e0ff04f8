#include "prep/select_keys.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "common/total_order.hpp"

namespace vorlent {
namespace {

constexpr uint64_t kNoKey = std::numeric_limits<uint64_t>::max();
constexpr int32_t kTopBits = 2 * kSelectDigitBits;
constexpr size_t kTops = size_t{1} << kTopBits;
constexpr int32_t kTopShift = 64 - kTopBits;                 // to a key's top 16 bits
constexpr int32_t kNextShift = kTopShift - kSelectDigitBits;  // to the byte after them

}  // namespace

void SelectKeys::clear() {
    keys_.clear();
    live_ = 0;
    drop_blocks();
}

void SelectKeys::drop_blocks() {
    block_of_.clear();
    block_top_.clear();
    block_counts_.clear();
    block_extremes_.clear();
    counted_ = false;
}

int32_t SelectKeys::new_block(uint32_t top) {
    if (block_top_.size() == kMaxBlocks) return -1;
    const auto block = static_cast<int32_t>(block_top_.size());
    block_of_[top] = block;
    block_top_.push_back(top);
    block_counts_.resize(block_counts_.size() + kSelectDigits, 0);
    block_extremes_.push_back(kNoKey);
    block_extremes_.push_back(0);
    return block;
}

void SelectKeys::append(const double* values, int64_t n) {
    if (narrowed()) throw std::logic_error("select keys: taken after a round narrowed them");
    if (keys_.empty() && !counted_) {
        block_of_.assign(kTops, -1);
        counted_ = true;
    }
    const size_t at = keys_.size();
    keys_.resize(at + static_cast<size_t>(n));
    uint64_t* out = keys_.data() + at;
    int64_t kept = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (std::isnan(values[i])) continue;
        const uint64_t key = sort_key(values[i]);
        out[kept++] = key;
        if (!counted_) continue;
        const auto top = static_cast<uint32_t>(key >> kTopShift);
        int32_t block = block_of_[top];
        if (block < 0 && (block = new_block(top)) < 0) {
            drop_blocks();  // too wide a range to count by blocks
            continue;
        }
        ++block_counts_[static_cast<size_t>(block) * kSelectDigits + ((key >> kNextShift) & 0xff)];
        uint64_t* extremes = block_extremes_.data() + 2 * static_cast<size_t>(block);
        extremes[0] = std::min(extremes[0], key);
        extremes[1] = std::max(extremes[1], key);
    }
    keys_.resize(at + static_cast<size_t>(kept));
    live_ = static_cast<int64_t>(keys_.size());
    // The counts are 32-bit: past that many keys, every round reads the keys.
    if (keys_.size() > std::numeric_limits<uint32_t>::max()) drop_blocks();
}

void SelectKeys::count(const SelectRound& round, uint64_t* out) {
    if (counted_ && !narrowed() && round.depth >= 0 && round.depth <= kTopBits &&
        round.depth % kSelectDigitBits == 0) {
        count_from_blocks(round, out);
        return;
    }
    live_ = count_and_narrow(keys_.data(), live_, round, out);
    if (narrowed()) drop_blocks();  // they hold keys left out
}

// count_keys' answer at depth 0, 8 or 16 from the blocks: a prefix's keys are those of the
// blocks whose top bits start with it.
void SelectKeys::count_from_blocks(const SelectRound& round, uint64_t* out) const {
    const std::vector<uint64_t> empty = empty_counts(round);
    std::copy(empty.begin(), empty.end(), out);
    if (round.prefixes.empty()) return;
    const int32_t depth = round.depth;
    for (size_t b = 0; b < block_top_.size(); ++b) {
        const uint32_t top = block_top_[b];
        // At depth 0 every key is under the empty prefix, counted in the first slot.
        const uint64_t prefix = depth == 0 ? 0 : top >> (kTopBits - depth);
        const auto found = std::lower_bound(round.prefixes.begin(), round.prefixes.end(), prefix);
        if (depth != 0 && (found == round.prefixes.end() || *found != prefix)) continue;
        const size_t slot = depth == 0 ? 0 : static_cast<size_t>(found - round.prefixes.begin());
        uint64_t* counts = out + slot * kSelectSlot;
        const uint32_t* own = block_counts_.data() + b * kSelectDigits;
        if (depth == kTopBits) {
            for (size_t d = 0; d < kSelectDigits; ++d) counts[d] += own[d];
        } else {
            // The block's keys all share the digit after the prefix.
            const size_t digit = (top >> (kTopBits - kSelectDigitBits - depth)) & 0xff;
            counts[digit] += std::accumulate(own, own + kSelectDigits, uint64_t{0});
        }
        counts[kSelectDigits] = std::min(counts[kSelectDigits], block_extremes_[2 * b]);
        counts[kSelectDigits + 1] = std::max(counts[kSelectDigits + 1], block_extremes_[2 * b + 1]);
    }
}

}  // namespace vorlent
