#include "exact/stats_merge.hpp"

#include <algorithm>
#include <stdexcept>

namespace vorlent {

void add_words(int64_t* into, const int64_t* from, int64_t n) {
    for (int64_t i = 0; i < n; ++i) into[i] += from[i];
}

namespace {

// How each word of a kind's blocks merges; the pattern repeats through the blocks.
enum WordMerge : uint8_t {
    kAddWord,   // integer addition
    kWideWord,  // this word and the next: the low and high halves of a 128-bit sum
    kMinKey,    // the smaller total-order key (as unsigned)
    kMaxKey,    // the larger
};

const std::vector<WordMerge>& merge_pattern(int64_t kind) {
    static const std::vector<WordMerge> add{kAddWord};
    static const std::vector<WordMerge> wide{kWideWord, kWideWord};
    static const std::vector<WordMerge> ranged{kAddWord, kAddWord, kAddWord, kMinKey, kMaxKey};
    switch (kind) {
        case kOutputSums:
        case kBinHistograms:
        case kLineageMoments:
            return add;
        case kProjectionRanges:
        case kProjectedHistograms:
            return ranged;
        case kPairMoments:
        case kScreenedPairMoments:
            return wide;
        default:
            throw std::invalid_argument("exact_sums: statistics of an unknown kind");
    }
}

}  // namespace

void merge_words(int64_t kind, int64_t* into, const int64_t* from, int64_t n) {
    const std::vector<WordMerge>& pattern = merge_pattern(kind);
    const auto period = static_cast<int64_t>(pattern.size());
    if (n % period != 0) {
        throw std::invalid_argument("exact_sums: statistics cut off inside a block");
    }
    if (period == 1) {
        add_words(into, from, n);
        return;
    }
    for (int64_t w = 0; w < n; w += period) {
        for (int64_t j = 0; j < period; ++j) {
            int64_t* a = into + w + j;
            const int64_t* b = from + w + j;
            switch (pattern[j]) {
                case kAddWord:
                    *a += *b;
                    break;
                case kWideWord: {
                    // Two's complement halves: the low words add as unsigned with a carry.
                    const auto low = static_cast<uint64_t>(a[0]) + static_cast<uint64_t>(b[0]);
                    const uint64_t carry = low < static_cast<uint64_t>(b[0]) ? 1 : 0;
                    a[0] = static_cast<int64_t>(low);
                    a[1] = static_cast<int64_t>(static_cast<uint64_t>(a[1]) +
                                                static_cast<uint64_t>(b[1]) + carry);
                    ++j;
                    break;
                }
                case kMinKey:
                    if (static_cast<uint64_t>(*b) < static_cast<uint64_t>(*a)) *a = *b;
                    break;
                case kMaxKey:
                    if (static_cast<uint64_t>(*b) > static_cast<uint64_t>(*a)) *a = *b;
                    break;
            }
        }
    }
}

void merge_stats(std::vector<int64_t>& into, const std::vector<int64_t>& from) {
    if (into.size() != from.size() || into.size() < static_cast<size_t>(kStatsHeader) ||
        !std::equal(into.begin(), into.begin() + kStatsHeader, from.begin()) ||
        into[0] != kStatsVersion) {
        throw std::invalid_argument("exact_sums: statistics of different requests cannot merge");
    }
    merge_words(into[1], into.data() + kStatsHeader, from.data() + kStatsHeader,
                static_cast<int64_t>(into.size()) - kStatsHeader);
}

}  // namespace vorlent
