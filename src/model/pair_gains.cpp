#include "model/pair_gains.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <stdexcept>
#include <utility>

namespace vorlent {
namespace {

constexpr int32_t kEmpty = -1;

uint64_t pair_key(int32_t a, int32_t b) {
    return (uint64_t{static_cast<uint32_t>(a)} << 32) | static_cast<uint32_t>(b);
}

// Fibonacci hashing: the top bits of the key times 2^64 / golden ratio spread both
// columns over the whole table.
size_t home_slot(uint64_t key, size_t mask) {
    const uint64_t mixed = key * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(mixed ^ (mixed >> 32)) & mask;
}

bool before(const PairGain& x, const PairGain& y) {
    return pair_key(x.a, x.b) < pair_key(y.a, y.b);
}

}  // namespace

void PairGains::add(int32_t a, int32_t b, double amount) {
    if (2 * (entries_.size() + 1) > slots_.size()) reindex(entries_.size() + 1);
    const uint64_t key = pair_key(a, b);
    const size_t mask = slots_.size() - 1;
    for (size_t s = home_slot(key, mask);; s = (s + 1) & mask) {
        const int32_t at = slots_[s];
        if (at == kEmpty) {
            if (entries_.size() >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
                throw std::length_error("the model credits more column pairs than 2^31 - 1");
            }
            slots_[s] = static_cast<int32_t>(entries_.size());
            entries_.push_back(PairGain{a, b, amount});
            return;
        }
        PairGain& entry = entries_[static_cast<size_t>(at)];
        if (entry.a == a && entry.b == b) {
            entry.gain += amount;
            return;
        }
    }
}

std::vector<PairGain> PairGains::sorted() const {
    std::vector<PairGain> out = entries_;
    std::sort(out.begin(), out.end(), before);
    return out;
}

void PairGains::assign(std::vector<PairGain> entries) {
    entries_ = std::move(entries);
    // The index is built by the first add: a loaded model that only predicts needs none.
    slots_.clear();
}

void PairGains::clear() {
    entries_.clear();
    slots_.clear();
}

void PairGains::reindex(size_t count) {
    const size_t capacity = std::bit_ceil(std::max<size_t>(2 * count, 16));
    slots_.assign(capacity, kEmpty);
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
        size_t s = home_slot(pair_key(entries_[i].a, entries_[i].b), mask);
        while (slots_[s] != kEmpty) s = (s + 1) & mask;
        slots_[s] = static_cast<int32_t>(i);
    }
}

bool operator==(const PairGains& x, const PairGains& y) {
    return x.size() == y.size() && x.sorted() == y.sorted();
}

}  // namespace vorlent
