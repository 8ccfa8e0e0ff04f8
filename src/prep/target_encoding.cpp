#include "prep/target_encoding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/memory.hpp"

namespace vorlent {
namespace {

// Count, sum and sum of squares of the targets of a set of rows.
struct Moments {
    double n = 0.0;
    double s = 0.0;
    double q = 0.0;
};

Moments operator-(const Moments& a, const Moments& b) { return {a.n - b.n, a.s - b.s, a.q - b.q}; }

// A code's mean target shrunk toward prior_mean: the weight of the code's own mean grows
// with its row count and falls with the spread of its targets. A code without rows, or
// without any spread at all, gets prior_mean; a NaN spread propagates.
double shrink(double prior_mean, double prior_var, const Moments& code) {
    if (code.n <= 0) return prior_mean;
    const double between = code.n * prior_var;
    const double a = between + (code.q - code.s * code.s / code.n) / code.n;
    if (a <= 0) return prior_mean;
    const double w = between / a;
    return prior_mean * (1 - w) + (code.s / code.n) * w;
}

// Whether the per-(fold, code) encodings are worth tabulating once instead of being
// worked out row by row.
bool tabulate(int64_t n, int32_t K, int32_t nf) { return int64_t{K} * nf <= n; }

void check_counts(int32_t K, int32_t nf) {
    if (K < 0) throw std::invalid_argument("K must be at least 0, got " + std::to_string(K));
    if (nf < 1) throw std::invalid_argument("nf must be at least 1, got " + std::to_string(nf));
}

std::string fold_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void check_fit_input(std::span<const int64_t> codes, std::span<const double> y,
                     std::span<const int32_t> folds, int32_t K, int32_t nf) {
    check_counts(K, nf);
    const size_t n = codes.size();
    if (y.size() < n) {
        throw std::invalid_argument("y has " + std::to_string(y.size()) +
                                    " entries, fewer than the " + std::to_string(n) + " codes");
    }
    if (folds.size() < n) {
        throw std::invalid_argument("folds has " + std::to_string(folds.size()) +
                                    " entries, fewer than the " + std::to_string(n) + " codes");
    }
    for (size_t r = 0; r < n; ++r) {
        if (folds[r] < 0 || folds[r] >= nf) {
            throw std::invalid_argument("folds entry " + std::to_string(r) + " is " +
                                        std::to_string(folds[r]) + ", outside 0 .. nf-1 = 0 .. " +
                                        std::to_string(nf - 1));
        }
    }
    const double cells = static_cast<double>(K) * nf;
    const double bytes = cells * (sizeof(Moments) + (tabulate(codes.size(), K, nf) ? 8 : 0)) +
                         static_cast<double>(K) * (sizeof(Moments) + 8);
    std::ostringstream what;
    what << "K = " << K << " codes times nf = " << nf << " folds";
    check_memory_need(bytes, what.str());
}

}  // namespace

TargetEncoding te_fit_transform(std::span<const int64_t> codes, std::span<const double> y,
                                std::span<const int32_t> folds, int32_t K, int32_t nf) {
    check_fit_input(codes, y, folds, K, nf);
    const auto n = static_cast<int64_t>(codes.size());
    const int64_t width = K;

    // Per (fold, code), fold-major, and per fold, accumulated in row order.
    std::vector<Moments> cell(static_cast<size_t>(width * nf));
    std::vector<Moments> fold(nf);
    for (int64_t r = 0; r < n; ++r) {
        const int64_t c = codes[r];
        if (c < 0 || c >= width) continue;
        const int32_t f = folds[r];
        const double v = y[r];
        Moments& m = cell[f * width + c];
        m.n += 1;
        m.s += v;
        m.q += v * v;
        Moments& mf = fold[f];
        mf.n += 1;
        mf.s += v;
        mf.q += v * v;
    }

    // Per code and overall, summed in fold order.
    std::vector<Moments> code(static_cast<size_t>(width));
    Moments all;
    for (int32_t f = 0; f < nf; ++f) {
        const Moments* row = cell.data() + f * width;
        for (int64_t c = 0; c < width; ++c) {
            code[c].n += row[c].n;
            code[c].s += row[c].s;
            code[c].q += row[c].q;
        }
        all.n += fold[f].n;
        all.s += fold[f].s;
        all.q += fold[f].q;
    }

    // Mean and population variance of the targets outside each fold.
    std::vector<double> mu(nf, 0.0);
    std::vector<double> var(nf, 0.0);
    for (int32_t f = 0; f < nf; ++f) {
        const Moments out = all - fold[f];
        if (out.n > 0) {
            mu[f] = out.s / out.n;
            var[f] = out.q / out.n - mu[f] * mu[f];
        }
    }

    TargetEncoding result;
    result.encodings.resize(n);
    double* enc = result.encodings.data();
    if (tabulate(n, K, nf)) {
        std::vector<double> table(static_cast<size_t>(width * nf));
        for (int32_t f = 0; f < nf; ++f) {
            for (int64_t c = 0; c < width; ++c) {
                table[f * width + c] = shrink(mu[f], var[f], code[c] - cell[f * width + c]);
            }
        }
        for (int64_t r = 0; r < n; ++r) {
            const int64_t c = codes[r];
            const int32_t f = folds[r];
            enc[r] = c >= 0 && c < width ? table[f * width + c] : mu[f];
        }
    } else {
        for (int64_t r = 0; r < n; ++r) {
            const int64_t c = codes[r];
            const int32_t f = folds[r];
            enc[r] =
                c >= 0 && c < width ? shrink(mu[f], var[f], code[c] - cell[f * width + c]) : mu[f];
        }
    }

    double overall_var = 0.0;
    if (all.n > 0) {
        result.gmean = all.s / all.n;
        overall_var = all.q / all.n - result.gmean * result.gmean;
    }
    result.full_map.resize(static_cast<size_t>(width));
    for (int64_t c = 0; c < width; ++c) {
        result.full_map[c] = shrink(result.gmean, overall_var, code[c]);
    }
    return result;
}

TargetEncoding te_fit_transform(std::span<const int64_t> codes, std::span<const double> y,
                                std::span<const double> folds, int32_t K, int32_t nf) {
    check_counts(K, nf);
    // Only the entries that pair with a code are read; the length is checked with the rest.
    const size_t n = std::min(codes.size(), folds.size());
    std::vector<int32_t> whole(n);
    for (size_t r = 0; r < n; ++r) {
        const double v = folds[r];
        if (!(v == std::trunc(v))) {
            throw std::invalid_argument("folds entry " + std::to_string(r) + " is " +
                                        fold_text(v) + ", not a whole fold number");
        }
        if (!(v >= 0.0 && v < static_cast<double>(nf))) {
            throw std::invalid_argument("folds entry " + std::to_string(r) + " is " +
                                        fold_text(v) + ", outside 0 .. nf-1 = 0 .. " +
                                        std::to_string(nf - 1));
        }
        whole[r] = static_cast<int32_t>(v);
    }
    if (folds.size() < codes.size()) whole.resize(folds.size());
    return te_fit_transform(codes, y, std::span<const int32_t>(whole), K, nf);
}

std::vector<double> te_transform(std::span<const int64_t> codes, std::span<const double> full_map,
                                 double gmean) {
    const auto n = static_cast<int64_t>(codes.size());
    const auto size = static_cast<int64_t>(full_map.size());
    std::vector<double> out(n);
    for (int64_t i = 0; i < n; ++i) {
        const int64_t c = codes[i];
        out[i] = c >= 0 && c < size ? full_map[c] : gmean;
    }
    return out;
}

}  // namespace vorlent
