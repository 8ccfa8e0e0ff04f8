#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "prep/binning.hpp"
#include "prep/sort_keys.hpp"

using namespace vorlent;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// One feature binned the obvious way, straight from the rules.
struct ReferenceFeature {
    std::vector<double> edges;
    std::vector<double> bin_low;
    std::vector<double> bin_high;
    bool has_missing = false;
    std::vector<uint16_t> codes;
};

ReferenceFeature reference_feature(const std::vector<double>& column, int32_t max_bins,
                                   bool categorical) {
    ReferenceFeature out;
    std::vector<double> s;
    for (double v : column) {
        if (std::isnan(v)) {
            out.has_missing = true;
        } else {
            s.push_back(v);
        }
    }
    out.codes.assign(column.size(), 0);
    if (s.empty()) {
        out.bin_low = {0.0};
        out.bin_high = {0.0};
        return out;
    }
    std::sort(s.begin(), s.end());
    const auto n = static_cast<int64_t>(s.size());
    auto percentile = [&](double t) {
        if (n == 1) return s[0];
        const double x = t * static_cast<double>(n - 1);
        const auto j = static_cast<int64_t>(std::floor(x));
        const double lo = s[j];
        const double hi = s[std::min(j + 1, n - 1)];
        const double r = (hi - lo) * (x - static_cast<double>(j)) + lo;
        return std::isnan(r) ? lo : r;
    };
    std::vector<double> cuts;
    if (categorical) {
        std::vector<double> d = s;
        d.erase(std::unique(d.begin(), d.end()), d.end());
        if (d.size() <= 8192) {
            for (size_t k = 0; k + 1 < d.size(); ++k) {
                const double m = (d[k] + d[k + 1]) * 0.5;
                cuts.push_back(d[k] < m && m <= d[k + 1] ? m : d[k + 1]);
            }
        } else {
            for (int i = 1; i <= 8191; ++i) cuts.push_back(percentile(i * 100.0 / 8192.0 / 100.0));
        }
    } else {
        const int32_t q = out.has_missing ? std::max(max_bins - 1, 2) : max_bins;
        for (int32_t i = 1; i < q; ++i) cuts.push_back(percentile(((i * 100.0) / q) / 100.0));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    out.edges = cuts;

    const size_t n_bins = cuts.size() + 1 + (out.has_missing ? 1 : 0);
    std::vector<std::vector<double>> members(n_bins);
    for (size_t r = 0; r < column.size(); ++r) {
        const double v = column[r];
        size_t code = n_bins - 1;
        if (!std::isnan(v)) {
            code = std::upper_bound(cuts.begin(), cuts.end(), v) - cuts.begin();
            members[code].push_back(v);
        }
        out.codes[r] = static_cast<uint16_t>(code);
    }
    for (size_t k = 0; k < n_bins; ++k) {
        double low, high;
        if (out.has_missing && k == n_bins - 1) {
            low = high = 0.0;
        } else if (!members[k].empty()) {
            low = *std::min_element(members[k].begin(), members[k].end());
            high = *std::max_element(members[k].begin(), members[k].end());
        } else if (k == 0) {
            low = high = cuts.empty() ? s.front() : cuts[0];
        } else {
            low = high = k - 1 < cuts.size() ? cuts[k - 1] : s.back();
        }
        out.bin_low.push_back(low);
        out.bin_high.push_back(high);
    }
    return out;
}

std::vector<double> column_of(const std::vector<double>& x, int32_t n_cols, int32_t f) {
    std::vector<double> col;
    for (size_t r = 0; r * n_cols < x.size(); ++r) col.push_back(x[r * n_cols + f]);
    return col;
}

bool same_bits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

void expect_same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_TRUE(a[i] == b[i] || same_bits(a[i], b[i])) << i << ": " << a[i] << " vs " << b[i];
    }
}

// Compares every feature of build_bins against the reference.
void expect_matches_reference(const std::vector<double>& x, int32_t n_rows, int32_t n_cols,
                              int32_t max_bins, const std::vector<int32_t>& categorical) {
    const BinnedMatrix b = build_bins(MatrixView{x.data(), n_rows, n_cols}, max_bins, categorical);
    ASSERT_EQ(b.all_codes().size(), static_cast<size_t>(n_rows) * n_cols);
    for (int32_t f = 0; f < n_cols; ++f) {
        const bool cat = f < static_cast<int32_t>(categorical.size()) && categorical[f] != 0;
        const ReferenceFeature ref = reference_feature(column_of(x, n_cols, f), max_bins, cat);
        SCOPED_TRACE(testing::Message() << "feature " << f << " max_bins " << max_bins);
        expect_same_doubles(b.edges[f], ref.edges);
        expect_same_doubles(b.bin_low[f], ref.bin_low);
        expect_same_doubles(b.bin_high[f], ref.bin_high);
        EXPECT_EQ(b.has_missing[f], ref.has_missing);
        for (int32_t r = 0; r < n_rows; ++r) {
            ASSERT_EQ(b.code(int64_t{r} * n_cols + f), ref.codes[r]) << "row " << r;
        }
    }
}

BinnedMatrix bin_column(const std::vector<double>& col, int32_t max_bins, bool categorical) {
    return build_bins(MatrixView{col.data(), static_cast<int32_t>(col.size()), 1}, max_bins,
                      categorical ? std::vector<int32_t>{1} : std::vector<int32_t>{});
}

// The invariants every feature must satisfy, whatever its values.
void expect_well_formed(const BinnedMatrix& b, int32_t n_rows, int32_t n_cols) {
    for (int32_t f = 0; f < n_cols; ++f) {
        const auto& e = b.edges[f];
        for (size_t k = 0; k < e.size(); ++k) {
            EXPECT_FALSE(std::isnan(e[k]));
            if (k > 0) {
                EXPECT_LT(e[k - 1], e[k]);
            }
        }
        // A column without any value has a single bin, missing or not.
        const bool valueless = b.has_missing[f] && b.bin_low[f].size() == 1;
        const size_t n_bins = valueless ? 1 : e.size() + 1 + (b.has_missing[f] ? 1 : 0);
        EXPECT_EQ(b.bin_low[f].size(), n_bins);
        EXPECT_EQ(b.bin_high[f].size(), n_bins);
        for (size_t k = 0; k < n_bins; ++k) {
            EXPECT_LE(b.bin_low[f][k], b.bin_high[f][k]);
            // Consecutive bins do not overlap: an axis cut can part them exactly.
            if (k > 0 && !(b.has_missing[f] && k + 1 == n_bins)) {
                EXPECT_LE(b.bin_high[f][k - 1], b.bin_low[f][k]);
            }
        }
        for (int32_t r = 0; r < n_rows; ++r) {
            const uint16_t c = b.code(int64_t{r} * n_cols + f);
            EXPECT_LT(c, b.bin_low[f].size());
        }
    }
}

}  // namespace

TEST(SortKeys, OrderAndRoundTrip) {
    std::mt19937_64 rng(3);
    const std::vector<double> specials = {0.0,     -0.0,  kInf,   -kInf, 5e-324,
                                          -5e-324, 1e308, -1e308, 1.0,   -1.0};
    for (int64_t n :
         {int64_t{0}, int64_t{1}, int64_t{7}, int64_t{511}, int64_t{512}, int64_t{5000}}) {
        std::vector<double> v(n);
        std::uniform_real_distribution<double> wide(-1e6, 1e6);
        for (int64_t i = 0; i < n; ++i) {
            v[i] = i % 13 == 0 ? specials[rng() % specials.size()]
                   : i % 3 == 0
                       ? std::bit_cast<double>(rng() & 0x7FEFFFFFFFFFFFFFull) * (rng() % 2 ? 1 : -1)
                       : std::round(wide(rng));
        }
        std::vector<uint64_t> keys(n);
        std::vector<uint64_t> spare(n);
        for (int64_t i = 0; i < n; ++i) {
            keys[i] = sort_key(v[i]);
            EXPECT_TRUE(same_bits(key_value(keys[i]), v[i]));
        }
        const uint64_t* sorted = sort_keys(keys.data(), spare.data(), n);
        std::vector<double> got(n);
        for (int64_t i = 0; i < n; ++i) got[i] = key_value(sorted[i]);
        std::vector<double> want = v;
        // -0.0 sorts before +0.0, as the keys order them.
        std::sort(want.begin(), want.end(), [](double a, double b) {
            return a < b || (a == b && std::signbit(a) && !std::signbit(b));
        });
        for (int64_t i = 0; i < n; ++i) EXPECT_TRUE(same_bits(got[i], want[i])) << i;
    }
}

TEST(SortKeys, SelectionPlacesTheWantedOrderStatistics) {
    std::mt19937_64 rng(12);
    std::normal_distribution<double> normal;
    for (int trial = 0; trial < 60; ++trial) {
        const int64_t n = 1 + static_cast<int64_t>(rng() % (trial < 30 ? 3000 : 200000));
        // Wide values, heavy duplicates, or one repeated value with a few outliers.
        const int kind = trial % 3;
        std::vector<uint64_t> keys(n);
        for (int64_t i = 0; i < n; ++i) {
            const double v = kind == 0   ? normal(rng) * 1e3
                             : kind == 1 ? static_cast<double>(rng() % 17)
                                         : (rng() % 100 == 0 ? normal(rng) : 2.5);
            keys[i] = sort_key(v);
        }
        std::vector<uint64_t> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        std::vector<int64_t> want;
        for (int64_t p = 0; p < n; p += 1 + static_cast<int64_t>(rng() % (n / 8 + 1))) {
            want.push_back(p);
        }
        want.push_back(n - 1);
        std::sort(want.begin(), want.end());
        want.erase(std::unique(want.begin(), want.end()), want.end());
        std::vector<uint64_t> spare(n);
        select_keys(keys.data(), spare.data(), n, want);
        for (int64_t p : want)
            ASSERT_EQ(keys[p], sorted[p]) << "trial " << trial << " position " << p;
    }
}

TEST(BuildBins, TwoValuesFourBins) {
    const BinnedMatrix b = bin_column({0.0, 10.0}, 4, false);
    EXPECT_EQ(b.edges[0], (std::vector<double>{2.5, 5.0, 7.5}));
    EXPECT_EQ(b.all_codes(), (std::vector<uint16_t>{0, 3}));
    EXPECT_EQ(b.bin_low[0], (std::vector<double>{0.0, 2.5, 5.0, 10.0}));
    EXPECT_EQ(b.bin_high[0], (std::vector<double>{0.0, 2.5, 5.0, 10.0}));
    EXPECT_FALSE(b.has_missing[0]);
}

TEST(BuildBins, ValueOnACutGoesUp) {
    const BinnedMatrix b = bin_column({0.0, 5.0, 10.0}, 4, false);
    EXPECT_EQ(b.edges[0], (std::vector<double>{2.5, 5.0, 7.5}));
    EXPECT_EQ(b.all_codes(), (std::vector<uint16_t>{0, 2, 3}));
    EXPECT_EQ(b.bin_low[0], (std::vector<double>{0.0, 2.5, 5.0, 10.0}));
}

TEST(BuildBins, ConstantColumn) {
    const BinnedMatrix plain = bin_column({4.5, 4.5, 4.5}, 64, false);
    EXPECT_EQ(plain.edges[0], (std::vector<double>{4.5}));
    EXPECT_EQ(plain.all_codes(), (std::vector<uint16_t>{1, 1, 1}));
    EXPECT_EQ(plain.bin_low[0], (std::vector<double>{4.5, 4.5}));

    const BinnedMatrix with_nan = bin_column({4.5, kNaN, 4.5}, 64, false);
    EXPECT_EQ(with_nan.edges[0], (std::vector<double>{4.5}));
    EXPECT_EQ(with_nan.all_codes(), (std::vector<uint16_t>{1, 2, 1}));
    EXPECT_EQ(with_nan.bin_high[0], (std::vector<double>{4.5, 4.5, 0.0}));
    EXPECT_TRUE(with_nan.has_missing[0]);
}

TEST(BuildBins, EmptyAndAllMissingColumns) {
    const BinnedMatrix nan = bin_column({kNaN, kNaN, kNaN}, 64, false);
    EXPECT_TRUE(nan.edges[0].empty());
    EXPECT_EQ(nan.bin_low[0], (std::vector<double>{0.0}));
    EXPECT_EQ(nan.all_codes(), (std::vector<uint16_t>{0, 0, 0}));
    EXPECT_TRUE(nan.has_missing[0]);

    const BinnedMatrix nan_cat = bin_column({kNaN, kNaN}, 64, true);
    EXPECT_TRUE(nan_cat.edges[0].empty());
    EXPECT_EQ(nan_cat.bin_low[0], (std::vector<double>{0.0}));

    const BinnedMatrix none = build_bins(MatrixView{nullptr, 0, 3}, 64, {});
    EXPECT_TRUE(none.all_codes().empty());
    ASSERT_EQ(none.edges.size(), 3u);
    for (int f = 0; f < 3; ++f) {
        EXPECT_TRUE(none.edges[f].empty());
        EXPECT_EQ(none.bin_low[f], (std::vector<double>{0.0}));
        EXPECT_FALSE(none.has_missing[f]);
    }

    const std::vector<double> x = {1.0, 2.0};
    const BinnedMatrix no_features = build_bins(MatrixView{x.data(), 2, 0}, 64, {});
    EXPECT_TRUE(no_features.all_codes().empty());
    EXPECT_TRUE(no_features.edges.empty());
    EXPECT_TRUE(no_features.has_missing.empty());
}

TEST(BuildBins, SmallBudgets) {
    // Two value bins and the missing bin: one more than max_bins.
    const BinnedMatrix two = bin_column({1.0, kNaN, 2.0, 3.0, 4.0}, 2, false);
    EXPECT_EQ(two.edges[0], (std::vector<double>{2.5}));
    EXPECT_EQ(two.all_codes(), (std::vector<uint16_t>{0, 2, 0, 1, 1}));
    EXPECT_EQ(two.bin_low[0], (std::vector<double>{1.0, 3.0, 0.0}));
    EXPECT_EQ(two.bin_high[0], (std::vector<double>{2.0, 4.0, 0.0}));

    for (int32_t max_bins : {1, 0, -5}) {
        const BinnedMatrix one = bin_column({1.0, 2.0, 6.0}, max_bins, false);
        EXPECT_TRUE(one.edges[0].empty());
        EXPECT_EQ(one.all_codes(), (std::vector<uint16_t>{0, 0, 0}));
        EXPECT_EQ(one.bin_low[0], (std::vector<double>{1.0}));
        EXPECT_EQ(one.bin_high[0], (std::vector<double>{6.0}));
        // With a NaN the budget is still one cut point.
        const BinnedMatrix nan = bin_column({1.0, 2.0, kNaN, 6.0}, max_bins, false);
        EXPECT_EQ(nan.edges[0], (std::vector<double>{2.0}));
        EXPECT_EQ(nan.all_codes(), (std::vector<uint16_t>{0, 1, 2, 1}));
    }
}

TEST(BuildBins, BinBudgetIsRespected) {
    std::mt19937 rng(11);
    std::normal_distribution<double> normal;
    std::vector<double> col(5000);
    for (double& v : col) v = normal(rng);
    for (int32_t max_bins : {3, 16, 64, 255}) {
        const BinnedMatrix plain = bin_column(col, max_bins, false);
        EXPECT_EQ(static_cast<int32_t>(plain.bin_low[0].size()), max_bins);
        col[7] = kNaN;
        const BinnedMatrix nan = bin_column(col, max_bins, false);
        EXPECT_EQ(static_cast<int32_t>(nan.bin_low[0].size()), max_bins);
        col[7] = 0.5;
    }
}

TEST(BuildBins, CodesAreOneByteWhereNoFeatureCanOutgrowIt) {
    // Two columns with NaN and many distinct values: at 256 bins each bin count reaches the
    // one-byte limit; at 257, or with a categorical column of more than 256 values, the
    // codes are two bytes wide.
    std::mt19937 rng(5);
    std::normal_distribution<double> normal;
    const int32_t n_rows = 6000;
    std::vector<double> x(2 * n_rows);
    for (double& v : x) v = normal(rng);
    x[2 * 10] = kNaN;
    x[2 * 77 + 1] = kNaN;
    const MatrixView view{x.data(), n_rows, 2};
    const BinnedMatrix narrow = build_bins(view, 256, {0, 0});
    EXPECT_TRUE(narrow.narrow);
    EXPECT_TRUE(narrow.codes.empty());
    EXPECT_EQ(narrow.bin_low[0].size(), 256u);
    EXPECT_EQ(narrow.code(2 * 10), 255);  // the NaNs in the missing bins
    EXPECT_EQ(narrow.code(2 * 77 + 1), 255);
    expect_matches_reference(x, n_rows, 2, 256, {});
    const BinnedMatrix wide = build_bins(view, 257, {});
    EXPECT_FALSE(wide.narrow);
    EXPECT_TRUE(wide.narrow_codes.empty());
    expect_matches_reference(x, n_rows, 2, 257, {});
    std::vector<double> codes(2 * n_rows);
    for (int32_t r = 0; r < n_rows; ++r) {
        codes[2 * r] = r % 257;  // a categorical column of 257 values
        codes[2 * r + 1] = r % 256;
    }
    const MatrixView categories{codes.data(), n_rows, 2};
    EXPECT_FALSE(build_bins(categories, 64, {1, 1}).narrow);
    EXPECT_TRUE(build_bins(categories, 64, {0, 1}).narrow);
    expect_matches_reference(codes, n_rows, 2, 64, {1, 1});
    expect_matches_reference(codes, n_rows, 2, 64, {0, 1});
}

TEST(BuildBins, MaxBinsBeyondSixteenBitsIsRejected) {
    const std::vector<double> col = {1.0, 2.0};
    EXPECT_THROW(bin_column(col, 65537, false), std::invalid_argument);
    EXPECT_NO_THROW(bin_column(col, 65536, false));
}

TEST(BuildBins, CategoricalValuesGetOwnBins) {
    const BinnedMatrix b = bin_column({3.0, 1.0, 3.0, 7.0}, 2, true);
    EXPECT_EQ(b.edges[0], (std::vector<double>{2.0, 5.0}));
    EXPECT_EQ(b.all_codes(), (std::vector<uint16_t>{1, 0, 1, 2}));
    EXPECT_EQ(b.bin_low[0], (std::vector<double>{1.0, 3.0, 7.0}));

    const BinnedMatrix single = bin_column({2.0, 2.0, kNaN}, 64, true);
    EXPECT_TRUE(single.edges[0].empty());
    EXPECT_EQ(single.all_codes(), (std::vector<uint16_t>{0, 0, 1}));
    EXPECT_EQ(single.bin_low[0], (std::vector<double>{2.0, 0.0}));

    // Neighbours one rounding step apart, a sum that overflows, and infinities all keep
    // their values apart.
    const double one_up = std::nextafter(1.0, 2.0);
    const BinnedMatrix close = bin_column({1.0, one_up, 1e308, 1.7e308, kInf, -kInf}, 64, true);
    EXPECT_EQ(close.edges[0],
              (std::vector<double>{1.0, one_up, (one_up + 1e308) * 0.5, 1.7e308, kInf}));
    EXPECT_EQ(close.all_codes(), (std::vector<uint16_t>{1, 2, 3, 4, 5, 0}));
}

TEST(BuildBins, ShortCategoricalListMeansOrdinary) {
    const std::vector<double> x = {3.0, 3.0, 1.0, 1.0, 3.0, 3.0, 7.0, 7.0};
    const BinnedMatrix b = build_bins(MatrixView{x.data(), 4, 2}, 64, {1});
    EXPECT_EQ(b.edges[0], (std::vector<double>{2.0, 5.0}));
    // The second column is binned by quantiles: the 1/64 quantile of 1, 3, 3, 7 is not a
    // midpoint.
    EXPECT_GT(b.edges[1].size(), 2u);
    expect_matches_reference(x, 4, 2, 64, {1, 0});
}

TEST(BuildBins, ManyCategoriesUsePercentiles) {
    const int32_t n = 8193;
    std::vector<double> s(n);
    for (int32_t i = 0; i < n; ++i) s[i] = 0.25 * i * i - 1000.0;
    std::vector<double> col = s;
    std::shuffle(col.begin(), col.end(), std::mt19937(5));
    const BinnedMatrix b = bin_column(col, 64, true);
    ASSERT_EQ(b.edges[0].size(), 8191u);
    for (int32_t i = 1; i <= 8191; ++i) ASSERT_EQ(b.edges[0][i - 1], s[i]) << i;
    EXPECT_EQ(b.bin_low[0].size(), 8192u);
    for (int32_t r = 0; r < n; ++r) {
        const auto rank = std::lower_bound(s.begin(), s.end(), col[r]) - s.begin();
        ASSERT_EQ(b.code(r), std::min<int64_t>(rank, 8191)) << r;
    }
    EXPECT_EQ(b.bin_low[0][8191], s[8191]);
    EXPECT_EQ(b.bin_high[0][8191], s[8192]);

    // One fewer distinct value: midpoints, a bin each.
    col.erase(std::find(col.begin(), col.end(), s[4000]));
    const BinnedMatrix fewer = bin_column(col, 64, true);
    EXPECT_EQ(fewer.edges[0].size(), 8191u);
    EXPECT_EQ(fewer.edges[0][0], (s[0] + s[1]) * 0.5);
    expect_matches_reference(col, n - 1, 1, 64, {1});
}

TEST(BuildBins, InfinitiesNeverGiveNaN) {
    // Equal neighbouring infinities: the lower sample.
    const BinnedMatrix high = bin_column({kInf, kInf, kInf}, 4, false);
    EXPECT_EQ(high.edges[0], (std::vector<double>{kInf}));
    EXPECT_EQ(high.all_codes(), (std::vector<uint16_t>{1, 1, 1}));
    EXPECT_EQ(high.bin_low[0], (std::vector<double>{kInf, kInf}));

    const BinnedMatrix low = bin_column({-kInf, -kInf, 0.0}, 2, false);
    EXPECT_EQ(low.edges[0], (std::vector<double>{-kInf}));

    // Between -inf and a finite value the interpolation has the limit -inf.
    const BinnedMatrix mixed = bin_column({-kInf, 0.0}, 2, false);
    EXPECT_EQ(mixed.edges[0], (std::vector<double>{-kInf}));
    EXPECT_EQ(mixed.bin_low[0], (std::vector<double>{-kInf, -kInf}));

    // t landing exactly on a finite sample next to +inf.
    const BinnedMatrix exact = bin_column({1.0, 2.0, kInf}, 2, false);
    EXPECT_EQ(exact.edges[0], (std::vector<double>{2.0}));

    // A bin holding both infinities has no mean and is valued like an empty bin.
    const BinnedMatrix both = bin_column({-kInf, kInf, kNaN}, 2, false);
    EXPECT_EQ(both.edges[0], (std::vector<double>{-kInf}));
    EXPECT_EQ(both.all_codes(), (std::vector<uint16_t>{1, 1, 2}));
    EXPECT_EQ(both.bin_low[0], (std::vector<double>{-kInf, -kInf, 0.0}));

    std::mt19937 rng(17);
    const std::vector<double> pool = {kInf, -kInf, kInf, -kInf, 0.0, 1.0, -3.0, kNaN};
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t n_rows = 1 + static_cast<int32_t>(rng() % 12);
        std::vector<double> x(n_rows * 2);
        for (double& v : x) v = pool[rng() % pool.size()];
        const int32_t max_bins = 1 + static_cast<int32_t>(rng() % 9);
        const BinnedMatrix b = build_bins(MatrixView{x.data(), n_rows, 2}, max_bins, {0, 1});
        expect_well_formed(b, n_rows, 2);
        expect_matches_reference(x, n_rows, 2, max_bins, {0, 1});
    }
}

TEST(BuildBins, MatchesReferenceOnRandomInputs) {
    std::mt19937 rng(2024);
    std::normal_distribution<double> normal;
    for (int trial = 0; trial < 400; ++trial) {
        const int32_t n_rows = static_cast<int32_t>(rng() % 70);
        const int32_t n_cols = 1 + static_cast<int32_t>(rng() % 4);
        const int32_t max_bins = -1 + static_cast<int32_t>(rng() % 24);
        std::vector<int32_t> categorical;
        if (rng() % 2) {
            for (int32_t f = 0; f < n_cols; ++f) categorical.push_back(rng() % 3 == 0 ? 7 : 0);
        }
        std::vector<double> x(static_cast<size_t>(n_rows) * n_cols);
        const int pool = 1 + static_cast<int>(rng() % 30);
        const double nan_rate = (rng() % 3) * 0.2;
        for (double& v : x) {
            const double u = std::uniform_real_distribution<double>()(rng);
            if (u < nan_rate) {
                v = kNaN;
            } else if (rng() % 2) {
                v = static_cast<double>(rng() % pool) * 0.5;  // many duplicates
            } else {
                v = normal(rng) * 100.0;
            }
        }
        expect_matches_reference(x, n_rows, n_cols, max_bins, categorical);
    }
}

TEST(BuildBins, ThreadCountDoesNotChangeTheResult) {
    const int32_t n_rows = 30000;
    const int32_t n_cols = 5;
    std::mt19937 rng(8);
    std::normal_distribution<double> normal;
    std::vector<double> x(static_cast<size_t>(n_rows) * n_cols);
    for (size_t i = 0; i < x.size(); ++i) {
        const int32_t f = static_cast<int32_t>(i % n_cols);
        x[i] = f == 2 ? std::floor(normal(rng) * 3) : normal(rng);
        if (rng() % 50 == 0) x[i] = kNaN;
    }
    const std::vector<int32_t> categorical = {0, 0, 1, 0, 0};
    const MatrixView view{x.data(), n_rows, n_cols};
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const BinnedMatrix one = build_bins(view, 64, categorical);
    omp_set_num_threads(2);
    const BinnedMatrix two = build_bins(view, 64, categorical);
    omp_set_num_threads(saved);
    EXPECT_EQ(one.all_codes(), two.all_codes());
    EXPECT_EQ(one.edges, two.edges);
    EXPECT_EQ(one.bin_low, two.bin_low);
    EXPECT_EQ(one.has_missing, two.has_missing);
    expect_matches_reference(x, n_rows, n_cols, 64, categorical);
}
