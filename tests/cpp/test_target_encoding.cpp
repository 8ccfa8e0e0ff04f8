#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "prep/target_encoding.hpp"

using namespace vorlent;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Target encoding written out line by line, with separate count, sum and square arrays.
TargetEncoding reference_encoding(const std::vector<int64_t>& codes, const std::vector<double>& y,
                                  const std::vector<int32_t>& folds, int32_t K, int32_t nf) {
    const size_t n = codes.size();
    std::vector<double> N(nf * K, 0), S(nf * K, 0), Q(nf * K, 0);
    std::vector<double> Nf(nf, 0), Sf(nf, 0), Qf(nf, 0);
    for (size_t r = 0; r < n; ++r) {
        const int64_t c = codes[r];
        if (c < 0 || c >= K) continue;
        const int32_t f = folds[r];
        N[f * K + c] += 1;
        S[f * K + c] += y[r];
        Q[f * K + c] += y[r] * y[r];
        Nf[f] += 1;
        Sf[f] += y[r];
        Qf[f] += y[r] * y[r];
    }
    std::vector<double> Nc(K, 0), Sc(K, 0), Qc(K, 0);
    double Nall = 0, Sall = 0, Qall = 0;
    for (int32_t f = 0; f < nf; ++f) {
        for (int32_t c = 0; c < K; ++c) {
            Nc[c] += N[f * K + c];
            Sc[c] += S[f * K + c];
            Qc[c] += Q[f * K + c];
        }
        Nall += Nf[f];
        Sall += Sf[f];
        Qall += Qf[f];
    }
    TargetEncoding out;
    for (size_t r = 0; r < n; ++r) {
        const int64_t c = codes[r];
        const int32_t f = folds[r];
        const double n_f = Nall - Nf[f];
        const double mu = n_f > 0 ? (Sall - Sf[f]) / n_f : 0;
        const double V = n_f > 0 ? (Qall - Qf[f]) / n_f - mu * mu : 0;
        double e = mu;
        if (c >= 0 && c < K) {
            const double m = Nc[c] - N[f * K + c];
            if (m > 0) {
                const double s = Sc[c] - S[f * K + c];
                const double a = m * V + ((Qc[c] - Q[f * K + c]) - s * s / m) / m;
                if (!(a <= 0)) {
                    const double w = (m * V) / a;
                    e = mu * (1 - w) + (s / m) * w;
                }
            }
        }
        out.encodings.push_back(e);
    }
    out.gmean = Nall > 0 ? Sall / Nall : 0;
    const double V = Nall > 0 ? Qall / Nall - out.gmean * out.gmean : 0;
    for (int32_t c = 0; c < K; ++c) {
        double value = out.gmean;
        if (Nc[c] > 0) {
            const double a = Nc[c] * V + (Qc[c] - Sc[c] * Sc[c] / Nc[c]) / Nc[c];
            if (!(a <= 0)) {
                const double w = (Nc[c] * V) / a;
                value = (1 - w) * out.gmean + w * (Sc[c] / Nc[c]);
            }
        }
        out.full_map.push_back(value);
    }
    return out;
}

TargetEncoding fit(const std::vector<int64_t>& codes, const std::vector<double>& y,
                   const std::vector<int32_t>& folds, int32_t K, int32_t nf) {
    return te_fit_transform(codes, y, folds, K, nf);
}

bool same(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) || (a != a && b != b);
}

void expect_same(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
        EXPECT_TRUE(same(a[i], b[i])) << i << ": " << a[i] << " vs " << b[i];
}

}  // namespace

TEST(TargetEncoding, WorkedExample) {
    const TargetEncoding t = fit({0, 0, 1, 1, 0, 1}, {1, 2, 3, 5, 4, 7}, {0, 1, 0, 1, 1, 0}, 2, 2);
    const std::vector<double> encodings = {117.0 / 37, 1, 5, 173.0 / 37, 1, 5};
    ASSERT_EQ(t.encodings.size(), 6u);
    for (size_t r = 0; r < 6; ++r) EXPECT_NEAR(t.encodings[r], encodings[r], 1e-12) << r;
    ASSERT_EQ(t.full_map.size(), 2u);
    EXPECT_NEAR(t.full_map[0], 127.0 / 51, 1e-12);
    EXPECT_NEAR(t.full_map[1], 613.0 / 129, 1e-12);
    EXPECT_NEAR(t.gmean, 11.0 / 3, 1e-12);
}

TEST(TargetEncoding, CodesSeenInOneFoldOnlyOrNowhere) {
    // Code 2 lives only in fold 1: its rows get fold 1's out-of-fold mean. Code 3 has no
    // rows: its map entry is the overall mean.
    const TargetEncoding t =
        fit({0, 0, 2, 1, 1, 2}, {1, 3, 10, 2, 6, 20}, {0, 1, 1, 0, 1, 1}, 4, 2);
    const double mu1 = (1.0 + 2.0) / 2;
    EXPECT_DOUBLE_EQ(t.encodings[2], mu1);
    EXPECT_DOUBLE_EQ(t.encodings[5], mu1);
    EXPECT_DOUBLE_EQ(t.full_map[3], t.gmean);
    EXPECT_DOUBLE_EQ(t.gmean, 42.0 / 6);
}

TEST(TargetEncoding, ZeroSpreadWithinACode) {
    // Code 0's out-of-fold targets are all 1.0 while the folds themselves vary: w = 1.
    const TargetEncoding t = fit({0, 0, 0, 1, 1, 1}, {1, 1, 1, 5, 9, 2}, {0, 1, 2, 0, 1, 2}, 2, 3);
    for (int r = 0; r < 3; ++r) EXPECT_EQ(t.encodings[r], 1.0) << r;
}

TEST(TargetEncoding, ConstantTarget) {
    const TargetEncoding t = fit({0, 1, 1, 0, 2}, {1, 1, 1, 1, 1}, {0, 1, 0, 1, 1}, 3, 2);
    for (double e : t.encodings) EXPECT_EQ(e, 1.0);
    for (double v : t.full_map) EXPECT_EQ(v, 1.0);
    EXPECT_EQ(t.gmean, 1.0);
    // Every valid row in fold 0: its rows see no other fold and get 0.
    const TargetEncoding alone = fit({0, 1, 5}, {1, 1, 1}, {0, 0, 1}, 2, 2);
    EXPECT_EQ(alone.encodings, (std::vector<double>{0.0, 0.0, 1.0}));
}

TEST(TargetEncoding, OutOfRangeCodesTakeNoPart) {
    const std::vector<int64_t> codes = {0, -1, 1, 2, 0, 1, 99, -7};
    const std::vector<double> y = {1, 100, 3, 200, 4, 7, 300, 400};
    const std::vector<int32_t> folds = {0, 1, 0, 1, 1, 0, 0, 1};
    const TargetEncoding t = fit(codes, y, folds, 2, 2);
    const TargetEncoding clean = fit({0, 1, 0, 1}, {1, 3, 4, 7}, {0, 0, 1, 0}, 2, 2);
    EXPECT_EQ(t.full_map, clean.full_map);
    EXPECT_EQ(t.gmean, clean.gmean);
    // An out-of-range row gets its fold's out-of-fold mean: fold 1 sees rows 0, 2, 5.
    EXPECT_DOUBLE_EQ(t.encodings[1], (1.0 + 3 + 7) / 3);
    EXPECT_DOUBLE_EQ(t.encodings[6], 4.0);

    const TargetEncoding none = fit({0, 3, 1}, {2, 4, 6}, {0, 1, 0}, 0, 2);
    EXPECT_TRUE(none.full_map.empty());
    EXPECT_EQ(none.gmean, 0.0);
    EXPECT_EQ(none.encodings, (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(TargetEncoding, NaNTargetPropagates) {
    const TargetEncoding t = fit({0, 1, 0, 1, 2}, {1, 2, kNaN, 4, 5}, {0, 1, 1, 0, 0}, 4, 2);
    for (double e : t.encodings) EXPECT_TRUE(std::isnan(e));
    for (double v : t.full_map) EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(std::isnan(t.gmean));
}

TEST(TargetEncoding, MatchesReferenceOnRandomInputs) {
    std::mt19937 rng(21);
    std::normal_distribution<double> normal;
    for (int trial = 0; trial < 400; ++trial) {
        const int32_t n = static_cast<int32_t>(rng() % 120);
        const int32_t K = static_cast<int32_t>(rng() % 15);
        const int32_t nf = 1 + static_cast<int32_t>(rng() % 6);
        std::vector<int64_t> codes(n);
        std::vector<double> y(n);
        std::vector<int32_t> folds(n);
        for (int32_t r = 0; r < n; ++r) {
            codes[r] = static_cast<int64_t>(rng() % (K + 3)) - 1;
            y[r] = rng() % 4 == 0 ? std::floor(normal(rng)) : normal(rng) * 10 + 3;
            folds[r] = static_cast<int32_t>(rng() % nf);
        }
        // Longer y and folds are allowed: only the first n entries count.
        std::vector<double> y_long = y;
        y_long.push_back(kNaN);
        const TargetEncoding got = fit(codes, y_long, folds, K, nf);
        const TargetEncoding want = reference_encoding(codes, y, folds, K, nf);
        SCOPED_TRACE(testing::Message() << "trial " << trial << " n " << n << " K " << K);
        expect_same(got.encodings, want.encodings);
        expect_same(got.full_map, want.full_map);
        EXPECT_TRUE(same(got.gmean, want.gmean));
    }
}

TEST(TargetEncoding, RejectsBadInput) {
    const std::vector<int64_t> codes = {0, 1, 0};
    const std::vector<double> y = {1, 2, 3};
    const std::vector<int32_t> folds = {0, 1, 0};
    EXPECT_THROW(fit(codes, y, folds, -1, 2), std::invalid_argument);
    EXPECT_THROW(fit(codes, y, folds, 2, 0), std::invalid_argument);
    EXPECT_THROW(fit(codes, {1, 2}, folds, 2, 2), std::invalid_argument);
    EXPECT_THROW(fit(codes, y, {0, 1}, 2, 2), std::invalid_argument);
    EXPECT_THROW(fit(codes, y, {0, 2, 0}, 2, 2), std::invalid_argument);
    EXPECT_THROW(fit(codes, y, {0, -1, 0}, 2, 2), std::invalid_argument);
    // A bad fold is caught even on a row whose code is out of range.
    EXPECT_THROW(fit({0, 9, 0}, y, {0, 5, 0}, 2, 2), std::invalid_argument);
    // Statistics far beyond any machine's memory are refused before allocating.
    EXPECT_THROW(fit(codes, y, folds, std::numeric_limits<int32_t>::max(),
                     std::numeric_limits<int32_t>::max()),
                 std::invalid_argument);
}

TEST(TargetTransform, LooksCodesUp) {
    const std::vector<double> full_map = {0.5, 1.5, 2.5};
    const std::vector<int64_t> codes = {2, 0, -1, 3, 1, std::numeric_limits<int64_t>::max()};
    EXPECT_EQ(te_transform(codes, full_map, 9.0),
              (std::vector<double>{2.5, 0.5, 9.0, 9.0, 1.5, 9.0}));
    EXPECT_TRUE(te_transform({}, full_map, 9.0).empty());
    EXPECT_EQ(te_transform(codes, {}, -1.0), std::vector<double>(6, -1.0));
}
