#include "tree/pair_screening.hpp"

#include <algorithm>

#include "common/numeric.hpp"

namespace vorlent {

double screen_pair(const FeatureColumn& a, const FeatureColumn& b, const NodeGradients& node,
                   const PairConfig& config) {
    const FeatureColumn* lane[1] = {&b};
    double score = 0.0;
    screen_pairs(a, lane, 1, node, config, &score);
    return score;
}

// The screening kernel, inlined into each of its two entry points so that both are
// compiled for every instruction set the hot kernels are. One vector lane per pair: every
// lane's sums are formed row by row exactly as for one pair on its own, whatever the vector
// width of the machine; two registers of four lanes share each row's loads, and a row's
// values of the eight second columns sit side by side in the block. Masked rows (a missing
// value) add exact zeros, which leaves the sums as they would be had the row been skipped;
// without masks the hessian and gradient totals are left to the caller.
template <bool kMasked>
__attribute__((always_inline)) inline void screen_kernel(const ScreenBlock& block, int32_t a,
                                                         int32_t lane_b, const double* inv_lane,
                                                         const NodeGradients& node,
                                                         ScreenSums& sums) {
    using v4d = double __attribute__((vector_size(32)));
    using v4l = long long __attribute__((vector_size(32)));
    static_assert(kScreenLanes == 8);
    v4d inv[2], hz[2], rz[2], sz[2], szz[2], rzz[2];
    for (int32_t half = 0; half < 2; ++half) {
        for (int32_t j = 0; j < 4; ++j) {
            inv[half][j] = inv_lane[4 * half + j];
            hz[half][j] = sums.hz[4 * half + j];
            rz[half][j] = sums.rz[4 * half + j];
            sz[half][j] = sums.sz[4 * half + j];
            szz[half][j] = sums.szz[4 * half + j];
            rzz[half][j] = sums.rzz[4 * half + j];
        }
    }
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    for_block_rows(block, a, node, [&](const double* row, double da, double h, double r) {
        const v4d fa = {da, da, da, da};
        const v4d hh = {h, h, h, h};
        const v4d rr = {r, r, r, r};
        for (int32_t half = 0; half < 2; ++half) {
            v4d fb;
            __builtin_memcpy(&fb, row + lane_b + 4 * half, sizeof(fb));
            if constexpr (kMasked) {
                const v4l ok = (fb == fb) & (fa == fa);
                const v4d z = ok ? fb * fa * inv[half] : zero;
                const v4d hv = ok ? hh : zero;
                const v4d rv = ok ? rr : zero;
                hz[half] += hv;
                rz[half] += rv;
                sz[half] += hv * z;
                szz[half] += hv * z * z;
                rzz[half] += rv * z;
            } else {
                const v4d z = fb * fa * inv[half];
                sz[half] += hh * z;
                szz[half] += hh * z * z;
                rzz[half] += rr * z;
            }
        }
    });
    for (int32_t half = 0; half < 2; ++half) {
        for (int32_t j = 0; j < 4; ++j) {
            sums.hz[4 * half + j] = hz[half][j];
            sums.rz[4 * half + j] = rz[half][j];
            sums.sz[4 * half + j] = sz[half][j];
            sums.szz[4 * half + j] = szz[half][j];
            sums.rzz[4 * half + j] = rzz[half][j];
        }
    }
}

VORLENT_HOT_KERNEL
void screen_block(const ScreenBlock& block, int32_t a, int32_t lane_b, const double* inv,
                  const NodeGradients& node, ScreenSums& sums) {
    screen_kernel<true>(block, a, lane_b, inv, node, sums);
}

VORLENT_HOT_KERNEL
void screen_block_complete(const ScreenBlock& block, int32_t a, int32_t lane_b, const double* inv,
                           const NodeGradients& node, ScreenSums& sums) {
    screen_kernel<false>(block, a, lane_b, inv, node, sums);
}

double screen_result(const ScreenSums& s, int32_t lane, double lambda) {
    return screen_score(s.hz[lane], s.rz[lane], s.sz[lane], s.szz[lane], s.rzz[lane], lambda);
}

void screen_pairs(const FeatureColumn& a, const FeatureColumn* const* b, int32_t count,
                  const NodeGradients& node, const PairConfig& config, double* scores) {
    // Column 0 of the block is a, columns 1 ... count the pairs' second columns.
    const FeatureColumn* columns[1 + kScreenLanes] = {&a};
    double inv[kScreenLanes];
    for (int32_t j = 0; j < kScreenLanes; ++j) {
        // Unused lanes repeat the last pair and are dropped at the end.
        const FeatureColumn& col = *b[j < count ? j : count - 1];
        inv[j] = 1.0 / (config.scale(col.feature) * config.scale(a.feature));
        if (j < count) columns[1 + j] = &col;
    }
    constexpr int32_t kRows = 256;
    constexpr int64_t kStride = 1 + 2 * kScreenLanes;
    double values[kRows * kStride];
    ScreenSums sums;
    for (int32_t k0 = 0; k0 < node.n; k0 += kRows) {
        const int32_t rows = std::min(kRows, node.n - k0);
        screen_block(fill_screen_block(columns, 1 + count, k0, rows, kStride, values), 0, 1, inv,
                     node, sums);
    }
    for (int32_t j = 0; j < count; ++j) scores[j] = screen_result(sums, j, config.lambda);
}

}  // namespace vorlent
