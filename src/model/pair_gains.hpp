#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlent {

// The gain credited to one ordered column pair.
struct PairGain {
    int32_t a = 0;  // the pair split's feature_a
    int32_t b = 0;  // the pair split's feature_b
    double gain = 0.0;

    friend bool operator==(const PairGain&, const PairGain&) = default;
};

// The interaction gain of a model, kept for the pairs that pair splits credited and no
// others: a model of n columns has n^2 ordered pairs (80 GB of doubles at 100,000 columns)
// but at most one credited pair per split.
//
// Each pair's gain is the sum of its credits in the order they were made, so it is the
// same number a dense table would hold. Entries are kept in the order their pairs were
// first credited and reached through an open-addressing index; readers that need an order
// independent of that history take sorted().
class PairGains {
public:
    // Adds `amount` to the gain of (a, b), creating the pair at 0.0 when it is new.
    // Amortised constant time: memory is allocated only when the table doubles.
    void add(int32_t a, int32_t b, double amount);

    // The entries in increasing (a, b) order.
    std::vector<PairGain> sorted() const;

    // Replaces the entries by `entries`, whose pairs the caller guarantees to be distinct.
    void assign(std::vector<PairGain> entries);

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void clear();

private:
    // Rebuilds the index for at least `count` entries at a load of at most one half.
    void reindex(size_t count);

    std::vector<PairGain> entries_;  // in the order their pairs were first credited
    std::vector<int32_t> slots_;     // entry index or -1; empty or a power of two long
};

// Two tables are equal when they hold the same pairs with equal gains, whatever the order
// in which the pairs were first credited.
bool operator==(const PairGains& x, const PairGains& y);

}  // namespace vorlent
