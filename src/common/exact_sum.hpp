#pragma once
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "common/total_order.hpp"

// A sum of doubles that comes out the same to the bit whatever the order of the terms and
// however they are grouped into partial sums (per thread, per shard, per process).
//
// The grid. Before any term is added, the caller fixes a bound B >= |term| for every finite
// term (the largest absolute value, or any larger number). With 2^(e-1) <= B < 2^e (e from
// frexp; e = 0 for B = 0), every term x is stored as the integer q = round(x * 2^(62 - e)),
// rounded once, to nearest with ties to even. So |q| <= 2^62 and the grid step is
// h = 2^(e - 62), between 2^-62 B and 2^-61 B. Terms of magnitude at least 2^(e - 10) lie on
// the grid exactly (their 53 bits fit above the step); smaller ones move by at most h / 2.
//
// The sum. The integers are added in a signed 128-bit total, which holds 2^65 terms of
// size 2^62 without overflow. Integer addition is exact, so merging two sums (same grid)
// is their addition and any order gives the same total. value() rounds the total once to
// the nearest double and scales it by h (exact unless the result is subnormal). The error
// of value() against the exact sum is at most n * h / 2 for n terms, plus the final
// rounding (half an ulp of the result).
//
// Beside the sum: the number of finite terms added (a term too small for the grid still
// counts, so an all-tiny group is not mistaken for an empty one), how many of them rounded
// to zero although nonzero, the counts of +inf, -inf and NaN terms (never summed), the
// terms above the bound (never summed; value() is then NaN), and the smallest and largest
// non-NaN term in the total order of common/total_order.hpp (-0.0 below +0.0).

namespace vorlent {

__extension__ typedef __int128 ExactInt;

class ExactSum {
public:
    // The grid for terms of magnitude at most bound (finite, not negative).
    explicit ExactSum(double bound) : exponent_(grid_exponent(bound)) {}

    // Adds every term of x[0 .. n).
    void add(const double* x, int64_t n) {
        const int32_t scale = kFractionBits - exponent_;
        // 2^e, or the largest double when 2^e is not one (so that infinities stay out).
        const double limit = exponent_ > std::numeric_limits<double>::max_exponent - 1
                                 ? std::numeric_limits<double>::max()
                                 : std::ldexp(1.0, exponent_);
        ExactInt total = 0;
        for (int64_t i = 0; i < n; ++i) {
            const double v = x[i];
            if (std::fabs(v) <= limit) {
                const auto q = static_cast<int64_t>(std::nearbyint(std::ldexp(v, scale)));
                total += q;
                ++count_;
                rounded_to_zero_ += (q == 0 && v != 0.0) ? 1 : 0;
                note_extreme(v);
            } else {
                note_outside(v);
            }
        }
        total_ += total;
    }
    void add(double v) { add(&v, 1); }

    // Adds the terms of another sum on the same grid (throws std::invalid_argument if not).
    void merge(const ExactSum& other) {
        if (other.exponent_ != exponent_) {
            throw std::invalid_argument("exact sums on different grids cannot be merged");
        }
        total_ += other.total_;
        count_ += other.count_;
        rounded_to_zero_ += other.rounded_to_zero_;
        positive_infinities_ += other.positive_infinities_;
        negative_infinities_ += other.negative_infinities_;
        missing_ += other.missing_;
        out_of_bound_ += other.out_of_bound_;
        if (other.lowest_ < lowest_) lowest_ = other.lowest_;
        if (other.highest_ > highest_) highest_ = other.highest_;
        any_ = any_ || other.any_;
    }

    // Adds a total in steps summed on the same grid elsewhere (a shard in another process).
    void add_steps(ExactInt steps) { total_ += steps; }

    // The sum of the finite terms; NaN when a term exceeded the bound.
    double value() const {
        if (out_of_bound_ > 0) return std::numeric_limits<double>::quiet_NaN();
        return std::ldexp(static_cast<double>(total_), exponent_ - kFractionBits);
    }
    // The grid step h (0 when it lies below the smallest double) and the exact total in
    // steps.
    double resolution() const { return std::ldexp(1.0, exponent_ - kFractionBits); }
    ExactInt steps() const { return total_; }
    int32_t exponent() const { return exponent_; }

    int64_t count() const { return count_; }
    int64_t rounded_to_zero() const { return rounded_to_zero_; }
    int64_t positive_infinities() const { return positive_infinities_; }
    int64_t negative_infinities() const { return negative_infinities_; }
    int64_t missing() const { return missing_; }
    int64_t out_of_bound() const { return out_of_bound_; }
    // The smallest and largest non-NaN term (infinities included); NaN when there is none.
    double min() const {
        return any_ ? key_value(lowest_) : std::numeric_limits<double>::quiet_NaN();
    }
    double max() const {
        return any_ ? key_value(highest_) : std::numeric_limits<double>::quiet_NaN();
    }

    // The grid exponent e for a bound: 2^(e-1) <= bound < 2^e.
    static int32_t grid_exponent(double bound) {
        if (!(bound >= 0.0) || std::isinf(bound)) {
            throw std::invalid_argument("the bound of an exact sum must be finite and >= 0");
        }
        int exponent = 0;
        std::frexp(bound, &exponent);
        return exponent;
    }

private:
    static constexpr int32_t kFractionBits = 62;

    void note_extreme(double v) {
        const uint64_t key = sort_key(v);
        lowest_ = key < lowest_ ? key : lowest_;
        highest_ = key > highest_ ? key : highest_;
        any_ = true;
    }
    void note_outside(double v) {
        if (std::isnan(v)) {
            ++missing_;
            return;
        }
        note_extreme(v);
        if (std::isinf(v)) {
            ++(v > 0 ? positive_infinities_ : negative_infinities_);
        } else {
            ++out_of_bound_;
        }
    }

    int32_t exponent_;
    ExactInt total_ = 0;
    int64_t count_ = 0;
    int64_t rounded_to_zero_ = 0;
    int64_t positive_infinities_ = 0;
    int64_t negative_infinities_ = 0;
    int64_t missing_ = 0;
    int64_t out_of_bound_ = 0;
    uint64_t lowest_ = std::numeric_limits<uint64_t>::max();
    uint64_t highest_ = 0;
    bool any_ = false;
};

}  // namespace vorlent
