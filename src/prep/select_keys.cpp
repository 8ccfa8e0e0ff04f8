#include "prep/select_keys.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "common/total_order.hpp"

namespace vorlent {
namespace {

constexpr uint64_t kNoKey = std::numeric_limits<uint64_t>::max();
constexpr int32_t kTopShift = 64 - 2 * kSelectDigitBits;  // to a key's top 16 bits
constexpr int32_t kByteShift = 64 - kSelectDigitBits;     // to its top byte

}  // namespace

void SelectKeys::clear() {
    keys_.clear();
    live_ = 0;
    counted_ = false;
}

void SelectKeys::append(const double* values, int64_t n) {
    if (narrowed()) throw std::logic_error("select keys: taken after a round narrowed them");
    if (keys_.empty() && !counted_) {
        top_counts_.assign(size_t{1} << (2 * kSelectDigitBits), 0);
        top_low_.fill(kNoKey);
        top_high_.fill(0);
        counted_ = true;
    }
    const size_t at = keys_.size();
    keys_.resize(at + static_cast<size_t>(n));
    uint64_t* out = keys_.data() + at;
    uint32_t* counts = top_counts_.data();
    int64_t kept = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (std::isnan(values[i])) continue;
        const uint64_t key = sort_key(values[i]);
        const size_t at_byte = (static_cast<size_t>(kept) % kLanes) * kSelectDigits +
                               static_cast<size_t>(key >> kByteShift);
        out[kept++] = key;
        ++counts[key >> kTopShift];
        top_low_[at_byte] = std::min(top_low_[at_byte], key);
        top_high_[at_byte] = std::max(top_high_[at_byte], key);
    }
    keys_.resize(at + static_cast<size_t>(kept));
    live_ = static_cast<int64_t>(keys_.size());
    // The counts are 32-bit: past that many keys, every round reads the keys.
    if (keys_.size() > std::numeric_limits<uint32_t>::max()) counted_ = false;
}

void SelectKeys::count(const SelectRound& round, uint64_t* out) {
    if (counted_ && !narrowed() && (round.depth == 0 || round.depth == kSelectDigitBits)) {
        count_from_top(round, out);
        return;
    }
    live_ = count_and_narrow(keys_.data(), live_, round, out);
    if (narrowed()) counted_ = false;  // the counts by top bits hold keys left out
}

// count_keys' answer at depth 0 or 8 from the counts by top bits.
void SelectKeys::count_from_top(const SelectRound& round, uint64_t* out) const {
    const std::vector<uint64_t> empty = empty_counts(round);
    std::copy(empty.begin(), empty.end(), out);
    if (round.prefixes.empty()) return;
    if (round.depth == 0) {
        // Every key is under the empty prefix: its first slot counts them all.
        for (size_t d = 0; d < kSelectDigits; ++d) {
            uint64_t sum = 0;
            for (size_t e = 0; e < kSelectDigits; ++e) sum += top_counts_[d * kSelectDigits + e];
            out[d] = sum;
        }
        out[kSelectDigits] = *std::min_element(top_low_.begin(), top_low_.end());
        out[kSelectDigits + 1] = *std::max_element(top_high_.begin(), top_high_.end());
        return;
    }
    for (size_t s = 0; s < round.prefixes.size(); ++s) {
        const uint64_t byte = round.prefixes[s];
        if (byte >= kSelectDigits) continue;  // under no key
        uint64_t* slot = out + s * kSelectSlot;
        for (size_t d = 0; d < kSelectDigits; ++d) slot[d] = top_counts_[byte * kSelectDigits + d];
        slot[kSelectDigits] = lowest_under(byte);
        slot[kSelectDigits + 1] = highest_under(byte);
    }
}

uint64_t SelectKeys::lowest_under(size_t byte) const {
    uint64_t low = kNoKey;
    for (size_t lane = 0; lane < kLanes; ++lane) {
        low = std::min(low, top_low_[lane * kSelectDigits + byte]);
    }
    return low;
}

uint64_t SelectKeys::highest_under(size_t byte) const {
    uint64_t high = 0;
    for (size_t lane = 0; lane < kLanes; ++lane) {
        high = std::max(high, top_high_[lane * kSelectDigits + byte]);
    }
    return high;
}

}  // namespace vorlent
