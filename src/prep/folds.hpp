#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace vorlent {

// llround for |x| < 2^63: the nearest 64-bit integer, halves rounded away from zero.
inline int64_t round_label(double x) {
    const int64_t whole = static_cast<int64_t>(x);           // truncates toward zero
    const double fraction = x - static_cast<double>(whole);  // exact below 2^63
    return whole + (fraction >= 0.5 ? 1 : 0) - (fraction <= -0.5 ? 1 : 0);
}

// A fold number in 0 .. nf-1 for every entry of y: a seeded shuffle of the rows dealt
// into nf balanced parts; with stratified, each label (y rounded to the nearest integer)
// is shuffled and dealt on its own, labels in ascending order. Throws
// std::invalid_argument for nf < 1, more than 2^31 - 1 rows, and, when stratified, a y
// that is NaN, infinite or of magnitude 2^63 or more.
std::vector<int32_t> make_folds(std::span<const double> y, int32_t nf, uint32_t seed,
                                bool stratified);

}  // namespace vorlent
