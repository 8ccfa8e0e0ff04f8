#include "tree/pair_direction.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"

namespace vorlent {

PairDirection solve_pair_ridge(const PairSums& s, const PairConfig& config, int32_t fa,
                               int32_t fb) {
    PairDirection out;
    if (!(s.H >= kTiny)) return out;
    const double lambda = config.lambda;
    const double sa = config.scale(fa);
    const double sb = config.scale(fb);
    const double a_aa = (s.S_aa - s.S_a * s.S_a / s.H) / (sa * sa) + lambda;
    const double a_bb = (s.S_bb - s.S_b * s.S_b / s.H) / (sb * sb) + lambda;
    const double a_ab = (s.S_ab - s.S_a * s.S_b / s.H) / (sa * sb);
    const double det = a_aa * a_bb - a_ab * a_ab;
    if (!(std::fabs(det) >= kTiny)) return out;
    const double c_a = (s.H * s.T_a - s.S_a * s.T0) / sa;
    const double c_b = (s.H * s.T_b - s.S_b * s.T0) / sb;
    const double beta_a = (c_a * a_bb - c_b * a_ab) / det;
    const double beta_b = (c_b * a_aa - c_a * a_ab) / det;
    double w_a = beta_a / sa;
    double w_b = beta_b / sb;
    const double norm = std::sqrt(w_a * w_a + w_b * w_b);
    if (!(norm >= kTiny)) return out;
    w_a /= norm;
    w_b /= norm;
    if (!config.monotone->empty()) {
        const int32_t m_a = config.monotone_of(fa);
        const int32_t m_b = config.monotone_of(fb);
        if (m_a != 0 && m_b != 0 && std::fabs(w_a) > kTiny && std::fabs(w_b) > kTiny) {
            // In 64 bits: a code of -2^31 has no 32-bit negation.
            const int64_t dir_a = w_a > 0 ? m_a : -int64_t{m_a};
            const int64_t dir_b = w_b > 0 ? m_b : -int64_t{m_b};
            if (dir_a != dir_b) return out;
        }
    }
    out.prescore = beta_a * c_a + beta_b * c_b;
    out.coef_a = w_a;
    out.coef_b = w_b;
    out.cross_moment = s.S_ab;
    return out;
}

PairDirection solve_category_slope(const FeatureColumn& category, const FeatureColumn& numeric,
                                   const NodeGradients& node, const PairConfig& config,
                                   int32_t n_categories, double* offsets) {
    CategorySums sums;
    for (int32_t k = 0; k < node.n; ++k) {
        const float xc = category.values[k];
        const float xn = numeric.values[k];
        if (std::isnan(xc) || std::isnan(xn)) continue;
        const int32_t q = category_code(xc);
        if (q < 0 || q >= n_categories) continue;
        const double h = node.hess[k];
        const double r = -node.grad[k];
        const double x = xn;
        sums.n_q[q] += h;
        sums.r_q[q] += r;
        sums.s_q[q] += h * x;
        sums.hc += h;
        sums.t += r * x;
        sums.sxx += h * x * x;
    }
    return solve_category_sums(sums, config, n_categories, offsets);
}

PairDirection solve_category_sums(const CategorySums& sums, const PairConfig& config,
                                  int32_t n_categories, double* offsets) {
    PairDirection out;
    const double* n_q = sums.n_q;
    const double* r_q = sums.r_q;
    const double* s_q = sums.s_q;
    if (!(sums.hc >= kTiny)) return out;
    const double lambda = config.lambda;
    double p = 0.0, q_sum = 0.0;
    for (int32_t q = 0; q < n_categories; ++q) {
        p += s_q[q] * s_q[q] / (lambda + n_q[q]);
        q_sum += s_q[q] * r_q[q] / (lambda + n_q[q]);
    }
    const double den = sums.sxx - p + lambda;
    if (!(std::fabs(den) >= kTiny)) return out;
    const double slope = (sums.t - q_sum) / den;
    double norm_sq = slope * slope;
    for (int32_t q = 0; q < n_categories; ++q) {
        offsets[q] = (r_q[q] - slope * s_q[q]) / (lambda + n_q[q]);
        norm_sq += offsets[q] * offsets[q];
    }
    const double norm = std::sqrt(norm_sq);
    if (!(norm >= kTiny)) return out;
    double r_total = 0.0;
    for (int32_t q = 0; q < n_categories; ++q) {
        offsets[q] /= norm;
        r_total += r_q[q];
    }
    out.prescore = slope * (sums.t - q_sum) + r_total;
    out.coef_a = 1.0;
    out.coef_b = slope / norm;
    out.n_offsets = n_categories;
    return out;
}

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

PairDirection pair_direction(const FeatureColumn& a, const FeatureColumn& b,
                             const NodeGradients& node, const float* hess_f32,
                             const PairConfig& config, bool missing_aware, double Hs, double R0,
                             const FeatureMoments& ma, const FeatureMoments& mb, double* offsets,
                             const float* cross_moment, const PairSums* missing_sums,
                             const CategorySums* category_sums) {
    const bool cat_a = config.is_categorical(a.feature);
    const bool cat_b = config.is_categorical(b.feature);
    if (cat_a != cat_b) {
        const FeatureColumn& cat = cat_a ? a : b;
        const FeatureColumn& num = cat_a ? b : a;
        const int32_t top =
            category_sums != nullptr ? category_sums->top : largest_code(cat, node.n);
        if (top >= 1 && top < kMaxPairCategories) {
            return category_sums != nullptr
                       ? solve_category_sums(*category_sums, config, top + 1, offsets)
                       : solve_category_slope(cat, num, node, config, top + 1, offsets);
        }
    }
    PairSums s;
    if (missing_aware && missing_sums != nullptr) {
        s = *missing_sums;
    } else if (missing_aware) {
        for (int32_t k = 0; k < node.n; ++k) {
            const float fa = a.values[k];
            const float fb = b.values[k];
            if (std::isnan(fa) || std::isnan(fb)) continue;
            s.add(fa, fb, node.hess[k], -node.grad[k]);
        }
    } else {
        s.H = Hs;
        s.S_a = ma.sum_hx;
        s.S_aa = ma.sum_hxx;
        s.T_a = ma.sum_rx;
        s.S_b = mb.sum_hx;
        s.S_bb = mb.sum_hxx;
        s.T_b = mb.sum_rx;
        s.S_ab = static_cast<double>(cross_moment != nullptr
                                         ? *cross_moment
                                         : cross_moment_f32(a.values, b.values, hess_f32, node.n));
        s.T0 = R0;
    }
    return solve_pair_ridge(s, config, a.feature, b.feature);
}

namespace {

double screen_score(double hz, double rz, double sz, double szz, double rzz, double lambda) {
    if (!(hz >= kTiny)) return 0.0;
    const double mean = sz / hz;
    const double den = szz - mean * hz * mean + lambda;
    if (!(den > kTiny)) return 0.0;
    const double num = rzz - mean * rz;
    return num * num / den;
}

}  // namespace

double screen_pair(const FeatureColumn& a, const FeatureColumn& b, const NodeGradients& node,
                   const PairConfig& config) {
    const FeatureColumn* lane[1] = {&b};
    double score = 0.0;
    screen_pairs(a, lane, 1, node, config, &score);
    return score;
}

VORLENT_HOT_KERNEL
ScreenBlock fill_screen_block(const FeatureColumn* const* columns, int32_t count, int32_t k0,
                              int32_t rows, int64_t stride, double* out) {
    // Four columns at a time: each row takes one store of four values.
    using v4d = double __attribute__((vector_size(32)));
    int32_t c = 0;
    for (; c + 4 <= count; c += 4) {
        const float* x0 = columns[c]->values + k0;
        const float* x1 = columns[c + 1]->values + k0;
        const float* x2 = columns[c + 2]->values + k0;
        const float* x3 = columns[c + 3]->values + k0;
        for (int32_t k = 0; k < rows; ++k) {
            const v4d v = {x0[k], x1[k], x2[k], x3[k]};
            __builtin_memcpy(out + k * stride + c, &v, sizeof(v));
        }
    }
    for (; c < count; ++c) {
        const float* x = columns[c]->values + k0;
        for (int32_t k = 0; k < rows; ++k) out[k * stride + c] = x[k];
    }
    for (int32_t k = 0; k < rows; ++k) std::fill(out + k * stride + count, out + (k + 1) * stride, 0.0);
    return ScreenBlock{out, stride, k0, rows};
}

// Calls body(row, x_a, h, -g) for every row of the block, in order.
template <class Body>
__attribute__((always_inline)) inline void for_block_rows(const ScreenBlock& block, int32_t a,
                                                          const NodeGradients& node, Body&& body) {
    const double* hess = node.hess + block.k0;
    const double* grad = node.grad + block.k0;
    for (int32_t k = 0; k < block.rows; ++k) {
        const double* row = block.values + k * block.stride;
        body(row, row[a], hess[k], -grad[k]);
    }
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
