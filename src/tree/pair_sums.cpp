#include "tree/pair_sums.hpp"

#include "common/numeric.hpp"

namespace vorlent {

int32_t largest_code(const FeatureColumn& category, int32_t n) {
    float largest = 0.0f;
    for (int32_t k = 0; k < n; ++k) {
        const float v = category.values[k];
        if (v > largest) largest = v;  // NaN never raises it
    }
    return category_code(largest);
}

CategorySums CategoryLanes::lane(int32_t j, int32_t top) const {
    CategorySums out;
    out.top = top;
    for (int32_t q = 0; q < kMaxPairCategories; ++q) {
        out.n_q[q] = n_q[q][j];
        out.r_q[q] = r_q[q][j];
        out.s_q[q] = s_q[q][j];
    }
    out.hc = hc[j];
    out.t = t[j];
    out.sxx = sxx[j];
    return out;
}

VORLENT_HOT_KERNEL
void cross_moment_lanes(const float* xa, const float* xb, const float* h, int32_t k0, int32_t k1,
                        float* lanes) {
    float lane[kCrossLanes];
    for (int32_t j = 0; j < kCrossLanes; ++j) lane[j] = lanes[j];
    int32_t k = k0;
    for (; k + kCrossLanes <= k1; k += kCrossLanes) {
        for (int32_t j = 0; j < kCrossLanes; ++j) lane[j] += xa[k + j] * h[k + j] * xb[k + j];
    }
    for (int32_t j = 0; k < k1; ++k, ++j) lane[j] += xa[k] * h[k] * xb[k];
    for (int32_t j = 0; j < kCrossLanes; ++j) lanes[j] = lane[j];
}

VORLENT_HOT_KERNEL
void cross_moment_lanes_shared(const float* xa, const float* const* xb, const float* h, int32_t k0,
                               int32_t k1, float* const* lanes) {
    static_assert(kCrossLanes == 8);
    using v8f = float __attribute__((vector_size(32)));
    v8f acc[kCrossShared];
    for (int32_t b = 0; b < kCrossShared; ++b) __builtin_memcpy(&acc[b], lanes[b], sizeof(v8f));
    int32_t k = k0;
    for (; k + kCrossLanes <= k1; k += kCrossLanes) {
        // x_a * h first, as in x_a * h * x_b: one product serves every second column.
        v8f a8, h8;
        __builtin_memcpy(&a8, xa + k, sizeof(v8f));
        __builtin_memcpy(&h8, h + k, sizeof(v8f));
        const v8f t = a8 * h8;
        for (int32_t b = 0; b < kCrossShared; ++b) {
            v8f b8;
            __builtin_memcpy(&b8, xb[b] + k, sizeof(v8f));
            acc[b] += t * b8;
        }
    }
    for (int32_t b = 0; b < kCrossShared; ++b) {
        float lane[kCrossLanes];
        __builtin_memcpy(lane, &acc[b], sizeof(v8f));
        for (int32_t j = 0, r = k; r < k1; ++r, ++j) lane[j] += xa[r] * h[r] * xb[b][r];
        __builtin_memcpy(lanes[b], lane, sizeof(v8f));
    }
}

float cross_moment_total(const float* lane) {
    float sum = 0.0f;
    for (int32_t j = 0; j < kCrossLanes; ++j) sum += lane[j];
    return sum;
}

float cross_moment_f32(const float* xa, const float* xb, const float* h, int32_t n) {
    float lane[kCrossLanes] = {};
    cross_moment_lanes(xa, xb, h, 0, n, lane);
    return cross_moment_total(lane);
}

VORLENT_HOT_KERNEL
void pair_sums_block(const ScreenBlock& block, int32_t a, int32_t lane_b, const NodeGradients& node,
                     PairSumLanes& sums) {
    using v4d = double __attribute__((vector_size(32)));
    using v4l = long long __attribute__((vector_size(32)));
    static_assert(kPairSumLanes == 4);
    v4d H, S_a, S_b, S_aa, S_ab, S_bb, T_a, T_b, T0;
    __builtin_memcpy(&H, sums.H, sizeof(v4d));
    __builtin_memcpy(&S_a, sums.S_a, sizeof(v4d));
    __builtin_memcpy(&S_b, sums.S_b, sizeof(v4d));
    __builtin_memcpy(&S_aa, sums.S_aa, sizeof(v4d));
    __builtin_memcpy(&S_ab, sums.S_ab, sizeof(v4d));
    __builtin_memcpy(&S_bb, sums.S_bb, sizeof(v4d));
    __builtin_memcpy(&T_a, sums.T_a, sizeof(v4d));
    __builtin_memcpy(&T_b, sums.T_b, sizeof(v4d));
    __builtin_memcpy(&T0, sums.T0, sizeof(v4d));
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    for_block_rows(block, a, node, [&](const double* row, double da, double h, double r) {
        const v4d fa = {da, da, da, da};
        v4d fb;
        __builtin_memcpy(&fb, row + lane_b, sizeof(fb));
        // A row with a missing value adds exact zeros, as if it had been skipped.
        const v4l ok = (fb == fb) & (fa == fa);
        const v4d xa = ok ? fa : zero;
        const v4d xb = ok ? fb : zero;
        const v4d hh = ok ? v4d{h, h, h, h} : zero;
        const v4d rr = ok ? v4d{r, r, r, r} : zero;
        H += hh;
        S_a += hh * xa;
        S_b += hh * xb;
        S_aa += hh * xa * xa;
        S_ab += hh * xa * xb;
        S_bb += hh * xb * xb;
        T_a += rr * xa;
        T_b += rr * xb;
        T0 += rr;
    });
    __builtin_memcpy(sums.H, &H, sizeof(v4d));
    __builtin_memcpy(sums.S_a, &S_a, sizeof(v4d));
    __builtin_memcpy(sums.S_b, &S_b, sizeof(v4d));
    __builtin_memcpy(sums.S_aa, &S_aa, sizeof(v4d));
    __builtin_memcpy(sums.S_ab, &S_ab, sizeof(v4d));
    __builtin_memcpy(sums.S_bb, &S_bb, sizeof(v4d));
    __builtin_memcpy(sums.T_a, &T_a, sizeof(v4d));
    __builtin_memcpy(sums.T_b, &T_b, sizeof(v4d));
    __builtin_memcpy(sums.T0, &T0, sizeof(v4d));
}

VORLENT_HOT_KERNEL
void category_sums_block(const ScreenBlock& block, int32_t category, int32_t lane_b,
                         int32_t n_categories, const NodeGradients& node, CategoryLanes& sums) {
    using v4d = double __attribute__((vector_size(32)));
    using v4l = long long __attribute__((vector_size(32)));
    static_assert(kCategoryLanes == 4);
    v4d hc, t, sxx;
    __builtin_memcpy(&hc, sums.hc, sizeof(v4d));
    __builtin_memcpy(&t, sums.t, sizeof(v4d));
    __builtin_memcpy(&sxx, sums.sxx, sizeof(v4d));
    const v4d zero = {0.0, 0.0, 0.0, 0.0};
    for_block_rows(block, category, node, [&](const double* row, double xc, double h, double r) {
        // The category's code is the row's for every lane; a row without one adds nothing.
        const int32_t q = xc == xc ? category_code(xc) : -1;
        if (q < 0 || q >= n_categories) return;
        v4d x;
        __builtin_memcpy(&x, row + lane_b, sizeof(x));
        // A lane whose numeric value is missing adds exact zeros, as if skipped.
        const v4l ok = x == x;
        const v4d xv = ok ? x : zero;
        const v4d hv = ok ? v4d{h, h, h, h} : zero;
        const v4d rv = ok ? v4d{r, r, r, r} : zero;
        v4d nq, rq, sq;
        __builtin_memcpy(&nq, sums.n_q[q], sizeof(v4d));
        __builtin_memcpy(&rq, sums.r_q[q], sizeof(v4d));
        __builtin_memcpy(&sq, sums.s_q[q], sizeof(v4d));
        nq += hv;
        rq += rv;
        sq += hv * xv;
        __builtin_memcpy(sums.n_q[q], &nq, sizeof(v4d));
        __builtin_memcpy(sums.r_q[q], &rq, sizeof(v4d));
        __builtin_memcpy(sums.s_q[q], &sq, sizeof(v4d));
        hc += hv;
        t += rv * xv;
        sxx += hv * xv * xv;
    });
    __builtin_memcpy(sums.hc, &hc, sizeof(v4d));
    __builtin_memcpy(sums.t, &t, sizeof(v4d));
    __builtin_memcpy(sums.sxx, &sxx, sizeof(v4d));
}

}  // namespace vorlent
