#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "common/exact_sum.hpp"

// The fixed-point grid of exact_sums training: one per round and per statistic (gradients,
// hessians), chosen from a bound known before any sum is taken.
//
// The bound B covers the sum of the magnitudes of every term that any node could add up:
// the round's largest |gradient| (or hessian) over the bag, times the bag's row count (times
// two for the reduced multiclass gradients, which are differences or sums of two outputs).
// With 2^(e-1) <= B < 2^e, a term x becomes the integer round(x * 2^(62 - e)), rounded once
// to nearest with ties to even. Every partial sum of a node's terms then stays below 2^62 in
// magnitude (plus half a step per term), so node totals, bin cells, merged shard buffers and
// parent-minus-child differences all fit in int64 and are exact: the order and grouping of
// the terms cannot change a bit of them.
//
// Resolution: the step is h = 2^(e - 62), between 2^-62 B and 2^-61 B; each term moves by at
// most h / 2. With a million rows and gradients up to 1, h = 2^-42 (about 2.3e-13). The
// exponent is kept at or above kMinGridExponent so that the scale stays a finite double;
// for bounds below 2^-900 terms smaller than that step round to zero (their rows still count).

namespace vorlent {

inline constexpr int32_t kGridFractionBits = 62;
inline constexpr int32_t kMinGridExponent = -900;

struct FixedGrid {
    int32_t exponent = 0;   // e with 2^(e-1) <= bound < 2^e
    double scale = 0x1p62;  // 2^(62 - e)
    double step = 0x1p-62;  // 2^(e - 62)

    // The grid for terms whose total magnitude is at most bound (finite, not negative).
    static FixedGrid for_bound(double bound) {
        if (!(bound >= 0.0) || std::isinf(bound)) {
            throw std::invalid_argument(
                "exact_sums: a sum of gradients or hessians exceeds the double range");
        }
        FixedGrid g;
        g.exponent = std::max(ExactSum::grid_exponent(bound), kMinGridExponent);
        g.scale = std::ldexp(1.0, kGridFractionBits - g.exponent);
        g.step = std::ldexp(1.0, g.exponent - kGridFractionBits);
        return g;
    }

    // A term on the grid; |x| must lie within the bound. Multiplying by a power of two is
    // exact, so the one rounding is nearbyint's (ties to even in the default mode). Terms
    // that are not finite are kept out of the sums (0).
    int64_t fixed(double x) const {
        return std::isfinite(x) ? static_cast<int64_t>(std::nearbyint(x * scale)) : 0;
    }
    // A sum back as a double: one rounding of the integer, then an exact scaling.
    double value(int64_t q) const { return static_cast<double>(q) * step; }
};

}  // namespace vorlent
