#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "common/exact_sum.hpp"

using namespace vorlent;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Terms of widely different magnitudes and both signs, some zero.
std::vector<double> random_terms(std::mt19937_64& rng, size_t n) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> decades(-25.0, 6.0);
    std::vector<double> x(n);
    for (double& v : x) v = rng() % 10 == 0 ? 0.0 : normal(rng) * std::pow(10.0, decades(rng));
    return x;
}

double bound_of(const std::vector<double>& x) {
    double b = 0.0;
    for (double v : x) b = std::max(b, std::fabs(v));
    return b;
}

ExactSum sum_of(const std::vector<double>& x, double bound) {
    ExactSum s(bound);
    s.add(x.data(), static_cast<int64_t>(x.size()));
    return s;
}

bool same_bits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

TEST(ExactSum, AnySplitOrderAndGroupingGivesTheSameBits) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 50; ++trial) {
        std::vector<double> x = random_terms(rng, rng() % 3000);
        const double bound = bound_of(x) * (trial % 2 ? 1.0 : 3.7);  // tight or loose
        const ExactSum whole = sum_of(x, bound);

        // Shuffled, dealt into up to 5 parts (some empty), merged in a random grouping.
        std::shuffle(x.begin(), x.end(), rng);
        std::vector<std::vector<double>> parts(1 + rng() % 5);
        for (double v : x) parts[rng() % parts.size()].push_back(v);
        std::vector<ExactSum> sums;
        for (const auto& p : parts) sums.push_back(sum_of(p, bound));
        while (sums.size() > 1) {
            const size_t i = rng() % sums.size();
            size_t j = rng() % sums.size();
            if (i == j) continue;
            sums[i].merge(sums[j]);
            sums.erase(sums.begin() + static_cast<int64_t>(j));
        }
        ExactSum one_by_one(bound);
        for (double v : x) one_by_one.add(v);

        for (const ExactSum* s : {&sums[0], &one_by_one}) {
            EXPECT_TRUE(s->steps() == whole.steps()) << trial;
            EXPECT_TRUE(same_bits(s->value(), whole.value())) << trial;
            EXPECT_EQ(s->count(), whole.count());
            EXPECT_EQ(s->rounded_to_zero(), whole.rounded_to_zero());
            EXPECT_TRUE(same_bits(s->min(), whole.min()));
            EXPECT_TRUE(same_bits(s->max(), whole.max()));
        }
    }
}

TEST(ExactSum, ErrorStaysWithinTheDocumentedResolution) {
    std::mt19937_64 rng(13);
    for (int trial = 0; trial < 50; ++trial) {
        const std::vector<double> x = random_terms(rng, 1 + rng() % 5000);
        const double bound = bound_of(x);
        const ExactSum s = sum_of(x, bound);
        // Reference: a compensated sum in long double. Its own error is below
        // 2^-62 times the sum of magnitudes, which the tolerance allows for besides the grid's
        // n * h / 2 and the final rounding to double.
        long double sum = 0, carry = 0, magnitude = 0;
        for (double v : x) {
            const long double y = static_cast<long double>(v) - carry;
            const long double t = sum + y;
            carry = (t - sum) - y;
            sum = t;
            magnitude += std::fabs(static_cast<long double>(v));
        }
        const long double n = static_cast<long double>(x.size());
        const long double tolerance = n * s.resolution() / 2 +
                                      std::fabs(static_cast<long double>(s.value())) * 0x1p-53L +
                                      magnitude * 0x1p-62L;
        EXPECT_LE(std::fabs(static_cast<long double>(s.value()) - sum), tolerance) << trial;
        EXPECT_GE(s.resolution(), bound * 0x1p-62);
        EXPECT_LE(s.resolution(), bound * 0x1p-61);
    }
    // Cancellation that a double sum gets wrong in one order or another is exact here.
    const std::vector<double> cancel = {1e16, 1.0, -1e16, 1.0};
    for (int order = 0; order < 4; ++order) {
        std::vector<double> x = cancel;
        std::rotate(x.begin(), x.begin() + order, x.end());
        EXPECT_EQ(sum_of(x, 1e16).value(), 2.0);
    }
}

TEST(ExactSum, TinyInfiniteMissingAndOutOfBoundTermsAreAccountedFor) {
    // Terms below the grid round to zero but are counted, so the group is not empty.
    const std::vector<double> tiny = {1e-30, -1e-30, 3e-25};
    const ExactSum t = sum_of(tiny, 1.0);
    EXPECT_EQ(t.value(), 0.0);
    EXPECT_EQ(t.count(), 3);
    EXPECT_EQ(t.rounded_to_zero(), 3);
    EXPECT_EQ(t.min(), -1e-30);
    EXPECT_EQ(t.max(), 3e-25);

    // Infinities and NaN are flagged and left out of the sum; -0.0 sorts below +0.0.
    const std::vector<double> odd = {kInf, 0.0, -kInf, kNaN, -0.0, 2.5, kInf};
    const ExactSum o = sum_of(odd, 2.5);
    EXPECT_EQ(o.value(), 2.5);
    EXPECT_EQ(o.count(), 3);
    EXPECT_EQ(o.positive_infinities(), 2);
    EXPECT_EQ(o.negative_infinities(), 1);
    EXPECT_EQ(o.missing(), 1);
    EXPECT_EQ(o.min(), -kInf);
    EXPECT_EQ(o.max(), kInf);
    const ExactSum zeros = sum_of({0.0, -0.0, 0.0}, 0.0);
    EXPECT_TRUE(std::signbit(zeros.min()));
    EXPECT_FALSE(std::signbit(zeros.max()));
    EXPECT_TRUE(std::isnan(ExactSum(1.0).min()));

    // A term above the bound breaks the contract: the value says so instead of being wrong.
    const ExactSum over = sum_of({0.5, 3.0}, 1.0);
    EXPECT_EQ(over.out_of_bound(), 1);
    EXPECT_TRUE(std::isnan(over.value()));

    ExactSum a(1.0);
    EXPECT_THROW(a.merge(ExactSum(4.0)), std::invalid_argument);
    EXPECT_THROW(static_cast<void>(ExactSum(-1.0)), std::invalid_argument);
    EXPECT_THROW(static_cast<void>(ExactSum(kInf)), std::invalid_argument);
    EXPECT_THROW(static_cast<void>(ExactSum(kNaN)), std::invalid_argument);
}

TEST(ExactSum, ExtremeBoundsKeepEveryTermOnTheGrid) {
    // Near the top of the double range the integers still hold the terms.
    const double big = std::numeric_limits<double>::max();
    const ExactSum top = sum_of({big, -big, big / 2}, big);
    EXPECT_EQ(top.value(), big / 2);
    const ExactSum top_odd = sum_of({big, kInf, -kInf, kNaN}, big);
    EXPECT_EQ(top_odd.value(), big);
    EXPECT_EQ(top_odd.positive_infinities(), 1);
    EXPECT_EQ(top_odd.negative_infinities(), 1);
    EXPECT_EQ(top_odd.missing(), 1);
    // Subnormal terms under a subnormal bound are exact.
    const double smallest = std::numeric_limits<double>::denorm_min();
    const ExactSum bottom = sum_of({smallest, 3 * smallest, -smallest}, 3 * smallest);
    EXPECT_EQ(bottom.value(), 3 * smallest);
}

}  // namespace
