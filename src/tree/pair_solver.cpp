#include "tree/pair_solver.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"
#include "decide/ridge.hpp"

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
    const double c_a = (s.H * s.T_a - s.S_a * s.T0) / sa;
    const double c_b = (s.H * s.T_b - s.S_b * s.T0) / sb;
    double beta_a = 0.0, beta_b = 0.0;
    if (!solve_ridge_2x2(a_aa, a_bb, a_ab, c_a, c_b, beta_a, beta_b)) return out;
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

}  // namespace vorlent
