#include "tree/pair_direction.hpp"

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
    PairDirection out;
    double n_q[kMaxPairCategories] = {};
    double r_q[kMaxPairCategories] = {};
    double s_q[kMaxPairCategories] = {};
    double hc = 0.0, t = 0.0, sxx = 0.0;
    for (int32_t k = 0; k < node.n; ++k) {
        const float xc = category.values[k];
        const float xn = numeric.values[k];
        if (std::isnan(xc) || std::isnan(xn)) continue;
        const int32_t q = category_code(xc);
        if (q < 0 || q >= n_categories) continue;
        const double h = node.hess[k];
        const double r = -node.grad[k];
        const double x = xn;
        n_q[q] += h;
        r_q[q] += r;
        s_q[q] += h * x;
        hc += h;
        t += r * x;
        sxx += h * x * x;
    }
    if (!(hc >= kTiny)) return out;
    const double lambda = config.lambda;
    double p = 0.0, q_sum = 0.0;
    for (int32_t q = 0; q < n_categories; ++q) {
        p += s_q[q] * s_q[q] / (lambda + n_q[q]);
        q_sum += s_q[q] * r_q[q] / (lambda + n_q[q]);
    }
    const double den = sxx - p + lambda;
    if (!(std::fabs(den) >= kTiny)) return out;
    const double slope = (t - q_sum) / den;
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
    out.prescore = slope * (t - q_sum) + r_total;
    out.coef_a = 1.0;
    out.coef_b = slope / norm;
    out.n_offsets = n_categories;
    return out;
}

float cross_moment_f32(const float* xa, const float* xb, const float* h, int32_t n) {
    // Eight independent partial sums, combined in a fixed order: the loop vectorises, and
    // the result depends only on the data, never on the machine or the thread count.
    constexpr int32_t kLanes = 8;
    float lane[kLanes] = {};
    int32_t k = 0;
    for (; k + kLanes <= n; k += kLanes) {
        for (int32_t j = 0; j < kLanes; ++j) lane[j] += xa[k + j] * h[k + j] * xb[k + j];
    }
    for (int32_t j = 0; k < n; ++k, ++j) lane[j] += xa[k] * h[k] * xb[k];
    float sum = 0.0f;
    for (int32_t j = 0; j < kLanes; ++j) sum += lane[j];
    return sum;
}

PairDirection pair_direction(const FeatureColumn& a, const FeatureColumn& b,
                             const NodeGradients& node, const float* hess_f32,
                             const PairConfig& config, bool missing_aware, double Hs, double R0,
                             const FeatureMoments& ma, const FeatureMoments& mb, double* offsets) {
    const bool cat_a = config.is_categorical(a.feature);
    const bool cat_b = config.is_categorical(b.feature);
    if (cat_a != cat_b) {
        const FeatureColumn& cat = cat_a ? a : b;
        const FeatureColumn& num = cat_a ? b : a;
        float largest = 0.0f;
        for (int32_t k = 0; k < node.n; ++k) {
            const float v = cat.values[k];
            if (v > largest) largest = v;  // NaN never raises it
        }
        const int32_t top = category_code(largest);
        if (top >= 1 && top < kMaxPairCategories) {
            return solve_category_slope(cat, num, node, config, top + 1, offsets);
        }
    }
    PairSums s;
    if (missing_aware) {
        for (int32_t k = 0; k < node.n; ++k) {
            const float fa = a.values[k];
            const float fb = b.values[k];
            if (std::isnan(fa) || std::isnan(fb)) continue;
            const double xa = fa, xb = fb;
            const double h = node.hess[k];
            const double r = -node.grad[k];
            s.H += h;
            s.S_a += h * xa;
            s.S_b += h * xb;
            s.S_aa += h * xa * xa;
            s.S_ab += h * xa * xb;
            s.S_bb += h * xb * xb;
            s.T_a += r * xa;
            s.T_b += r * xb;
            s.T0 += r;
        }
    } else {
        s.H = Hs;
        s.S_a = ma.sum_hx;
        s.S_aa = ma.sum_hxx;
        s.T_a = ma.sum_rx;
        s.S_b = mb.sum_hx;
        s.S_bb = mb.sum_hxx;
        s.T_b = mb.sum_rx;
        s.S_ab = static_cast<double>(cross_moment_f32(a.values, b.values, hess_f32, node.n));
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

void screen_pairs(const FeatureColumn& a, const FeatureColumn* const* b, int32_t count,
                  const NodeGradients& node, const PairConfig& config, double* scores) {
    // Two pairs per vector register, each lane its own pair: every lane's sums are formed
    // row by row exactly as for one pair on its own.
    using v2d = double __attribute__((vector_size(16)));
    using v2l = long long __attribute__((vector_size(16)));
    static_assert(kScreenLanes == 4);
    const float* xb[kScreenLanes];
    double inv_lane[kScreenLanes] = {};
    for (int32_t j = 0; j < kScreenLanes; ++j) {
        // Unused lanes repeat the last pair and are dropped at the end.
        const FeatureColumn& col = *b[j < count ? j : count - 1];
        xb[j] = col.values;
        inv_lane[j] = 1.0 / (config.scale(col.feature) * config.scale(a.feature));
    }
    const v2d inv0 = {inv_lane[0], inv_lane[1]};
    const v2d inv1 = {inv_lane[2], inv_lane[3]};
    const v2d zero = {0.0, 0.0};
    // Rows with a missing value add exact zeros to a pair's sums, which leaves them as they
    // would be had the row been skipped.
    v2d hz0 = zero, rz0 = zero, sz0 = zero, szz0 = zero, rzz0 = zero;
    v2d hz1 = zero, rz1 = zero, sz1 = zero, szz1 = zero, rzz1 = zero;
    const float* xa = a.values;
    for (int32_t k = 0; k < node.n; ++k) {
        const double da = xa[k];
        const double h = node.hess[k];
        const double r = -node.grad[k];
        const v2d fa = {da, da};
        const v2d hh = {h, h};
        const v2d rr = {r, r};
        const v2d fb0 = {static_cast<double>(xb[0][k]), static_cast<double>(xb[1][k])};
        const v2d fb1 = {static_cast<double>(xb[2][k]), static_cast<double>(xb[3][k])};
        const v2l ok0 = (fb0 == fb0) & (fa == fa);
        const v2l ok1 = (fb1 == fb1) & (fa == fa);
        const v2d z0 = ok0 ? fb0 * fa * inv0 : zero;
        const v2d z1 = ok1 ? fb1 * fa * inv1 : zero;
        const v2d h0 = ok0 ? hh : zero;
        const v2d h1 = ok1 ? hh : zero;
        const v2d r0 = ok0 ? rr : zero;
        const v2d r1 = ok1 ? rr : zero;
        hz0 += h0;
        hz1 += h1;
        rz0 += r0;
        rz1 += r1;
        sz0 += h0 * z0;
        sz1 += h1 * z1;
        szz0 += h0 * z0 * z0;
        szz1 += h1 * z1 * z1;
        rzz0 += r0 * z0;
        rzz1 += r1 * z1;
    }
    const double out[kScreenLanes] = {
        screen_score(hz0[0], rz0[0], sz0[0], szz0[0], rzz0[0], config.lambda),
        screen_score(hz0[1], rz0[1], sz0[1], szz0[1], rzz0[1], config.lambda),
        screen_score(hz1[0], rz1[0], sz1[0], szz1[0], rzz1[0], config.lambda),
        screen_score(hz1[1], rz1[1], sz1[1], szz1[1], rzz1[1], config.lambda)};
    for (int32_t j = 0; j < count; ++j) scores[j] = out[j];
}

}  // namespace vorlent
