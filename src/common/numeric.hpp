#pragma once
#include <cmath>
#include <cstdint>
#include <limits>

// Hot vector kernels are compiled twice, for AVX2 and for any x86-64, and the loader picks
// the one the machine runs. Every kernel so marked keeps its lanes and its order of
// operations the same in both (no reassociation, no fused multiply-add), so results do
// not depend on the machine.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define VORLENT_HOT_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define VORLENT_HOT_KERNEL
#endif

namespace vorlent {

// Guard for divisions by hessian sums, determinants, norms and value ranges.
inline constexpr double kTiny = 1e-12;
// A split is made only with a gain above this.
inline constexpr double kMinGain = 1e-6;
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Clamp a Newton value into [lower, upper]; the lower bound wins a conflict.
inline double clamp_value(double t, double lower, double upper) {
    if (lower > t) return lower;
    return upper < t ? upper : t;
}

// A cut between values a < b that a test "x < cut" parts exactly (a goes below, b does
// not): their midpoint, unless rounding (a and b one step apart), the double range (a sum
// overflowing) or an infinity puts the midpoint outside (a, b]; b is then the cut.
inline double cut_between(double a, double b) {
    const double m = (a + b) * 0.5;
    return a < m && m <= b ? m : b;
}

// Truncate a category value toward zero; values outside the 32-bit range give INT32_MIN.
inline int32_t category_code(double a) {
    if (a > -2147483649.0 && a < 2147483648.0) return static_cast<int32_t>(a);
    return std::numeric_limits<int32_t>::min();
}

}  // namespace vorlent
