#include "tree/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "model/node.hpp"

namespace vorlent {

void fill_columns(std::vector<FeatureColumn>& columns, const std::vector<bool>& has_missing,
                  const MatrixView& X, const int32_t* rows, const NodeGradients& node,
                  FeatureMoments* moments) {
    const int64_t c = static_cast<int64_t>(columns.size());
    const int64_t n = node.n;
    // Columns are split into contiguous groups, one per thread; each group walks the rows in
    // order, so every column's sums keep row order whatever the thread count.
    const bool parallel = c > 1 && c * n > kParallelMomentCells;
    parallel_blocks(c, parallel, [&](int64_t c0, int64_t c1) {
        for (int64_t i = c0; i < c1; ++i) {
            FeatureColumn& col = columns[i];
            const int64_t f = col.feature;
            const bool with_moments = moments != nullptr && !has_missing[f];
            float* values = col.values;
            if (!with_moments) {
                if (!col.filled) {
                    for (int64_t k = 0; k < n; ++k) values[k] = static_cast<float>(X.at(rows[k], f));
                }
                if (moments != nullptr) moments[i] = FeatureMoments{};
                col.filled = true;
                continue;
            }
            double shx = 0.0, shxx = 0.0, srx = 0.0;
            double lo = kInf, hi = -kInf;
            for (int64_t k = 0; k < n; ++k) {
                const double x = X.at(rows[k], f);
                values[k] = static_cast<float>(x);
                const double h = node.hess[k];
                shx += h * x;
                shxx += h * x * x;
                srx += -node.grad[k] * x;
                lo = x < lo ? x : lo;
                hi = x > hi ? x : hi;
            }
            moments[i] = FeatureMoments{shx, shxx, srx, lo, hi};
            col.filled = true;
        }
    });
}

void gather_bin_codes(std::vector<FeatureColumn>& columns, int32_t n_features,
                      const uint16_t* codes, const int32_t* rows, int32_t n, ThreadScratch& s) {
    const size_t c = columns.size();
    uint16_t* base = grow(s.bin_codes, c * static_cast<size_t>(n));
    for (size_t i = 0; i < c; ++i) columns[i].codes = base + i * static_cast<size_t>(n);
    parallel_blocks(n, n > kParallelGatherRows, [&](int64_t k0, int64_t k1) {
        for (int64_t k = k0; k < k1; ++k) {
            const uint16_t* row = codes + static_cast<int64_t>(rows[k]) * n_features;
            for (size_t i = 0; i < c; ++i) base[i * n + k] = row[columns[i].feature];
        }
    });
}

void best_bin_cut(const FeatureColumn& column, const std::vector<double>& bin_values,
                  bool feature_has_missing, const NodeGradients& node, double lambda,
                  ThreadScratch& s, BinCut& best) {
    const int32_t bins = static_cast<int32_t>(bin_values.size());
    if (bins < 2) return;
    double* gh = grow(s.bin_grad_hist, bins);
    double* hh = grow(s.bin_hess_hist, bins);
    std::fill(gh, gh + bins, 0.0);
    std::fill(hh, hh + bins, 0.0);
    const uint16_t* codes = column.codes;
    for (int32_t k = 0; k < node.n; ++k) {
        gh[codes[k]] += node.grad[k];
        hh[codes[k]] += node.hess[k];
    }
    int32_t* listed = grow(s.nonempty_bins, bins);
    int32_t count = 0;
    for (int32_t b = 0; b < bins; ++b) {
        if (hh[b] > 0.0) listed[count++] = b;
    }
    if (count < 2) return;
    const double parent = node.G * node.G / (node.H + lambda);
    const int32_t missing_bin = feature_has_missing ? bins - 1 : -1;
    double gl = 0.0, hl = 0.0;
    for (int32_t k = 0; k + 1 < count; ++k) {
        gl += gh[listed[k]];
        hl += hh[listed[k]];
        if (!(hl > kTiny) || !(node.H - hl > kTiny)) continue;
        const double gain = cut_gain(gl, hl, node.G, node.H, lambda, parent);
        if (gain > best.gain) {
            const int32_t upper = listed[k + 1];
            best.gain = gain;
            best.feature = column.feature;
            best.threshold = upper == missing_bin
                                 ? kInf
                                 : (bin_values[listed[k]] + bin_values[upper]) * 0.5;
        }
    }
}

ProjectedCut projected_histogram_split(const double* projected, const NodeGradients& node,
                                       double lambda, double lo, double hi, bool missing_aware,
                                       ThreadScratch& s, int32_t bins) {
    ProjectedCut out;
    if (node.n == 0 || !(hi - lo >= kTiny)) return out;
    double* gh = grow(s.proj_grad_hist, bins);
    double* hh = grow(s.proj_hess_hist, bins);
    std::fill(gh, gh + bins, 0.0);
    std::fill(hh, hh + bins, 0.0);
    const double step = (hi - lo) / bins;
    for (int32_t k = 0; k < node.n; ++k) {
        const double v = projected[k];
        if (missing_aware && std::isnan(v)) continue;  // scored on the right side
        const int32_t b = clamp_bin((v - lo) / step, bins);
        gh[b] += node.grad[k];
        hh[b] += node.hess[k];
    }
    const double parent = node.G * node.G / (node.H + lambda);
    double gl = 0.0, hl = 0.0;
    for (int32_t i = 0; i + 1 < bins; ++i) {
        gl += gh[i];
        hl += hh[i];
        if (!(hl > kTiny) || !(node.H - hl > kTiny)) continue;
        const double gain = cut_gain(gl, hl, node.G, node.H, lambda, parent);
        if (gain > out.gain) {
            out.found = true;
            out.gain = gain;
            out.threshold = lo + (i + 1) * step;
        }
    }
    return out;
}

namespace {

SplitChoice pair_choice(int32_t kind, int32_t fa, int32_t fb, double coef_a, double coef_b,
                        const ProjectedCut& cut) {
    SplitChoice c;
    c.gain = cut.gain;
    c.kind = kind;
    c.feature_a = fa;
    c.feature_b = fb;
    c.coef_a = coef_a;
    c.coef_b = coef_b;
    c.bias = -cut.threshold;
    c.missing_right = 1;
    return c;
}

// The fast path: single-precision bins over a range bounded by the columns' moments.
ProjectedCut fast_linear_cut(const FeatureColumn& a, const FeatureColumn& b, double coef_a,
                             double coef_b, const NodeGradients& node, const float* grad_f32,
                             const float* hess_f32, double lambda, int32_t hist_bins,
                             ThreadScratch& s, const FeatureMoments& ma,
                             const FeatureMoments& mb) {
    ProjectedCut out;
    const double lo = coef_a * (coef_a >= 0 ? ma.min_x : ma.max_x) +
                      coef_b * (coef_b >= 0 ? mb.min_x : mb.max_x);
    const double hi = coef_a * (coef_a >= 0 ? ma.max_x : ma.min_x) +
                      coef_b * (coef_b >= 0 ? mb.max_x : mb.min_x);
    const double width = hi - lo;
    if (!(width >= kTiny)) return out;
    const int32_t count = 4 * hist_bins;
    const double scale = count / width;
    float* gh = grow(s.fast_grad_hist, count);
    float* hh = grow(s.fast_hess_hist, count);
    std::fill(gh, gh + count, 0.0f);
    std::fill(hh, hh + count, 0.0f);
    int32_t* bin_of_row = grow(s.fast_bin_of_row, node.n);
    const float ca = static_cast<float>(coef_a);
    const float cb = static_cast<float>(coef_b);
    const float lo32 = static_cast<float>(lo);
    const float scale32 = static_cast<float>(scale);
    const float top = static_cast<float>(count - 1);
    const float* xa = a.values;
    const float* xb = b.values;
    for (int32_t k = 0; k < node.n; ++k) {
        float v = ((cb * xb[k] + ca * xa[k]) - lo32) * scale32;
        v = v >= 0.0f ? v : 0.0f;  // also maps NaN to bin 0
        v = v <= top ? v : top;
        bin_of_row[k] = static_cast<int32_t>(v);
    }
    for (int32_t k = 0; k < node.n; ++k) {
        gh[bin_of_row[k]] += grad_f32[k];
        hh[bin_of_row[k]] += hess_f32[k];
    }
    const double parent = node.G * node.G / (node.H + lambda);
    double gl = 0.0, hl = 0.0;
    for (int32_t i = 0; i + 1 < count; ++i) {
        gl += static_cast<double>(gh[i]);
        hl += static_cast<double>(hh[i]);
        if (!(hl > kTiny) || !(node.H - hl > kTiny)) continue;
        const double gain = cut_gain(gl, hl, node.G, node.H, lambda, parent);
        if (gain > out.gain) {
            out.found = true;
            out.gain = gain;
            out.threshold = lo + (i + 1) * (width / count);
        }
    }
    return out;
}

}  // namespace

SplitChoice evaluate_linear_pair(const FeatureColumn& a, const FeatureColumn& b, double coef_a,
                                 double coef_b, const NodeGradients& node, const float* grad_f32,
                                 const float* hess_f32, double lambda, int32_t hist_bins,
                                 ThreadScratch& s, bool missing_aware, const FeatureMoments& ma,
                                 const FeatureMoments& mb) {
    ProjectedCut cut;
    if (missing_aware) {
        double* z = grow(s.projected, node.n);
        double lo = kInf, hi = -kInf;
        for (int32_t k = 0; k < node.n; ++k) {
            const float xa = a.values[k];
            const float xb = b.values[k];
            if (std::isnan(xa) || std::isnan(xb)) {
                z[k] = std::numeric_limits<double>::quiet_NaN();
                continue;
            }
            const double v = coef_a * static_cast<double>(xa) + coef_b * static_cast<double>(xb);
            z[k] = v;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
        }
        cut = projected_histogram_split(z, node, lambda, lo, hi, true, s, hist_bins);
    } else {
        cut = fast_linear_cut(a, b, coef_a, coef_b, node, grad_f32, hess_f32, lambda, hist_bins, s,
                              ma, mb);
    }
    if (!cut.found) return SplitChoice{};
    return pair_choice(kLinearPair, a.feature, b.feature, coef_a, coef_b, cut);
}

SplitChoice evaluate_category_pair(const FeatureColumn& category, const FeatureColumn& numeric,
                                   const double* offsets, int32_t n_offsets, double slope,
                                   const NodeGradients& node, double lambda, int32_t hist_bins,
                                   ThreadScratch& s) {
    double* z = grow(s.projected, node.n);
    double lo = kInf, hi = -kInf;
    for (int32_t k = 0; k < node.n; ++k) {
        const float xc = category.values[k];
        const float xn = numeric.values[k];
        if (std::isnan(xc) || std::isnan(xn)) {
            z[k] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const int32_t code = category_code(xc);
        const double offset = (code >= 0 && code < n_offsets) ? offsets[code] : 0.0;
        const double v = slope * static_cast<double>(xn) + offset;
        z[k] = v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    const ProjectedCut cut = projected_histogram_split(z, node, lambda, lo, hi, true, s, hist_bins);
    if (!cut.found) return SplitChoice{};
    return pair_choice(kCategoryPair, category.feature, numeric.feature, 1.0, slope, cut);
}

}  // namespace vorlent
