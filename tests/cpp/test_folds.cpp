#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "common/random.hpp"
#include "prep/folds.hpp"

using namespace vorlent;

namespace {

// The shuffle as a plain loop: for i = 1 .. m-1 swap a[i] with a[j], j uniform in 0 .. i.
void reference_shuffle(std::vector<int32_t>& a, Rng& rng) {
    for (size_t i = 1; i < a.size(); ++i) {
        const size_t j = uniform_below(rng, static_cast<uint32_t>(i + 1));
        std::swap(a[i], a[j]);
    }
}

// Folds the obvious way: an ordered map of label groups, a division per row.
std::vector<int32_t> reference_folds(const std::vector<double>& y, int32_t nf, uint32_t seed,
                                     bool stratified) {
    const auto n = static_cast<int32_t>(y.size());
    std::vector<int32_t> folds(n, -1);
    Rng rng(seed);
    auto deal = [&](std::vector<int32_t> rows) {
        reference_shuffle(rows, rng);
        const auto m = static_cast<int64_t>(rows.size());
        for (int64_t i = 0; i < m; ++i) folds[rows[i]] = static_cast<int32_t>((nf * i) / m);
    };
    if (!stratified) {
        std::vector<int32_t> rows(n);
        std::iota(rows.begin(), rows.end(), 0);
        deal(rows);
        return folds;
    }
    std::map<long long, std::vector<int32_t>> groups;
    for (int32_t r = 0; r < n; ++r) groups[std::llround(y[r])].push_back(r);
    for (const auto& [label, rows] : groups) deal(rows);
    return folds;
}

std::vector<int32_t> folds_of(const std::vector<double>& y, int32_t nf, uint32_t seed,
                              bool stratified) {
    return make_folds(std::span<const double>(y), nf, seed, stratified);
}

std::vector<int32_t> fold_sizes(const std::vector<int32_t>& folds, int32_t nf) {
    std::vector<int32_t> sizes(nf, 0);
    for (int32_t f : folds) ++sizes.at(f);
    return sizes;
}

}  // namespace

TEST(RoundLabel, AgreesWithLlround) {
    const std::vector<double> values = {0.0,
                                        -0.0,
                                        0.4,
                                        0.5,
                                        0.6,
                                        -0.4,
                                        -0.5,
                                        -0.6,
                                        2.5,
                                        -2.5,
                                        1.5,
                                        -1.5,
                                        0.49999999999999994,
                                        -0.49999999999999994,
                                        4503599627370495.5,
                                        -4503599627370495.5,
                                        9007199254740993.0,
                                        9223372036854774784.0,
                                        -9223372036854774784.0,
                                        1e18};
    for (double v : values) EXPECT_EQ(round_label(v), std::llround(v)) << v;
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> u(-1e6, 1e6);
    for (int i = 0; i < 100000; ++i) {
        const double v = i % 2 ? u(rng) : std::round(u(rng) * 2) / 2;
        ASSERT_EQ(round_label(v), std::llround(v)) << v;
    }
}

TEST(MakeFolds, PinnedVectors) {
    EXPECT_EQ(folds_of(std::vector<double>(5, 0.0), 5, 42, false),
              (std::vector<int32_t>{1, 4, 2, 3, 0}));
    EXPECT_EQ(folds_of(std::vector<double>(10, 0.0), 3, 0, false),
              (std::vector<int32_t>{0, 1, 0, 0, 2, 0, 1, 2, 2, 1}));
}

TEST(MakeFolds, SmallCases) {
    EXPECT_TRUE(folds_of({}, 3, 1, false).empty());
    EXPECT_TRUE(folds_of({}, 3, 1, true).empty());
    EXPECT_EQ(folds_of(std::vector<double>(7, 1.0), 1, 9, false), std::vector<int32_t>(7, 0));
    EXPECT_EQ(fold_sizes(folds_of(std::vector<double>(10, 0.0), 3, 5, false), 3),
              (std::vector<int32_t>{4, 3, 3}));
    EXPECT_EQ(fold_sizes(folds_of(std::vector<double>(10, 0.0), 4, 5, false), 4),
              (std::vector<int32_t>{3, 2, 3, 2}));
    // Two rows dealt into five folds: positions 0 and 1 give folds 0 and 2.
    std::vector<int32_t> two = folds_of({3.0, 3.0}, 5, 8, true);
    std::sort(two.begin(), two.end());
    EXPECT_EQ(two, (std::vector<int32_t>{0, 2}));
}

TEST(MakeFolds, StratifiedBalancesEachLabel) {
    std::vector<double> y(15, 1.0);
    for (int r : {0, 2, 3, 6, 9, 11, 14}) y[r] = 0.0;
    const std::vector<int32_t> folds = folds_of(y, 3, 77, true);
    std::vector<int32_t> zero(3, 0);
    std::vector<int32_t> one(3, 0);
    for (size_t r = 0; r < y.size(); ++r) ++(y[r] == 0.0 ? zero : one)[folds[r]];
    EXPECT_EQ(zero, (std::vector<int32_t>{3, 2, 2}));
    EXPECT_EQ(one, (std::vector<int32_t>{3, 3, 2}));
}

TEST(MakeFolds, LabelsRoundHalfAwayFromZero) {
    // 0.4 | 0.6 | 2.5 | -2.5 form four groups of one row each: every row lands in fold 0.
    EXPECT_EQ(folds_of({0.4, 0.6, 2.5, -2.5}, 3, 1, true), (std::vector<int32_t>(4, 0)));
    // 0.4 and -0.4 share a group, and so do 2.5 and 3.4, and -2.5 and -3.4: two rows
    // each, dealt into folds 0 and 1.
    const std::vector<int32_t> paired = folds_of({0.4, -0.4, 2.5, 3.4, -2.5, -3.4}, 2, 1, true);
    EXPECT_NE(paired[0], paired[1]);
    EXPECT_NE(paired[2], paired[3]);
    EXPECT_NE(paired[4], paired[5]);
}

TEST(MakeFolds, OneLabelMatchesThePlainSplit) {
    std::vector<double> y(101);
    for (size_t r = 0; r < y.size(); ++r) y[r] = 6.0 + 0.45 * std::sin(static_cast<double>(r));
    for (int32_t nf : {1, 2, 5, 200}) {
        EXPECT_EQ(folds_of(y, nf, 31, true), folds_of(y, nf, 31, false)) << nf;
    }
}

TEST(MakeFolds, MatchesReferenceOnRandomInputs) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t n = static_cast<int32_t>(rng() % 200);
        const int32_t nf = 1 + static_cast<int32_t>(rng() % 12);
        const uint32_t seed = static_cast<uint32_t>(rng());
        const int labels = 1 + static_cast<int>(rng() % 40);
        std::vector<double> y(n);
        for (double& v : y) {
            v = static_cast<double>(static_cast<int>(rng() % labels) - labels / 2) * 1.3 +
                (rng() % 4) * 0.25;
        }
        for (bool stratified : {false, true}) {
            ASSERT_EQ(folds_of(y, nf, seed, stratified), reference_folds(y, nf, seed, stratified))
                << "trial " << trial << " stratified " << stratified;
        }
    }
}

TEST(MakeFolds, ManyLabelsGrowTheGroupTable) {
    std::vector<double> y(20000);
    std::mt19937 rng(6);
    for (double& v : y) v = static_cast<double>(static_cast<int64_t>(rng()) - (1ll << 31)) * 4096.0;
    EXPECT_EQ(folds_of(y, 4, 3, true), reference_folds(y, 4, 3, true));
}

TEST(MakeFolds, NarrowAndWideLabelRangesAgree) {
    // A table indexes labels spanning fewer than 2^16 integers, a hash map the others:
    // both visit the labels in ascending order.
    std::mt19937 rng(14);
    for (double top : {65535.0, 65536.0, 1e15, 9223372036854774784.0}) {
        std::vector<double> y(3000);
        for (double& v : y) {
            const uint32_t pick = rng() % 4;
            v = pick == 0 ? 0.0 : pick == 1 ? top : pick == 2 ? 7.0 : -top * (top > 1e6);
        }
        for (int32_t nf : {2, 5}) {
            ASSERT_EQ(folds_of(y, nf, 21, true), reference_folds(y, nf, 21, true)) << top;
        }
    }
}

TEST(ShuffleIndices, MatchesThePlainLoop) {
    for (int64_t m : {int64_t{0}, int64_t{1}, int64_t{2}, int64_t{32}, int64_t{33}, int64_t{34},
                      int64_t{1000}, int64_t{300000}}) {
        std::vector<int32_t> fast(m);
        std::iota(fast.begin(), fast.end(), 0);
        std::vector<int32_t> plain = fast;
        Rng a(static_cast<uint32_t>(m));
        Rng b(static_cast<uint32_t>(m));
        shuffle_indices(fast, a);
        reference_shuffle(plain, b);
        ASSERT_EQ(fast, plain) << m;
        EXPECT_EQ(a(), b()) << "the engines drew different amounts, m = " << m;
    }
}

TEST(MakeFolds, LargeInputsMatchReference) {
    std::vector<double> y(400000);
    std::mt19937 rng(13);
    for (double& v : y) v = static_cast<double>(rng() % 3);
    for (bool stratified : {false, true}) {
        EXPECT_EQ(folds_of(y, 7, 5, stratified), reference_folds(y, 7, 5, stratified));
    }
}

TEST(MakeFolds, RejectsBadInput) {
    EXPECT_THROW(folds_of({1.0}, 0, 1, false), std::invalid_argument);
    EXPECT_THROW(folds_of({1.0}, -3, 1, true), std::invalid_argument);
    for (double bad : {std::numeric_limits<double>::quiet_NaN(),
                       std::numeric_limits<double>::infinity(), -0x1p63, 0x1p63, 1e300}) {
        EXPECT_THROW(folds_of({1.0, bad}, 2, 1, true), std::invalid_argument) << bad;
        // The plain split never reads the values.
        EXPECT_EQ(folds_of({1.0, bad}, 2, 1, false).size(), 2u);
    }
    EXPECT_NO_THROW(folds_of({9223372036854774784.0, -9223372036854774784.0}, 2, 1, true));
}
