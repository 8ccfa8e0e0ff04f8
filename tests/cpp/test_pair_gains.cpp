#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

#include "alloc_counter.hpp"
#include "model/pair_gains.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct Credit {
    int32_t a, b;
    double amount;
};

// Credits over few pairs of very wide columns, so that pairs repeat and the index grows
// through several sizes.
std::vector<Credit> random_credits(uint32_t seed, int n) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int32_t> pick(0, 2999);
    std::uniform_real_distribution<double> u(-1.0, 3.0);
    std::vector<std::pair<int32_t, int32_t>> pairs(3000);
    std::uniform_int_distribution<int32_t> column(0, 99999);
    for (auto& p : pairs) p = {column(gen), column(gen)};
    std::vector<Credit> credits;
    for (int i = 0; i < n; ++i) {
        const auto& p = pairs[static_cast<size_t>(pick(gen))];
        credits.push_back({p.first, p.second, u(gen)});
    }
    return credits;
}

std::vector<PairGain> reference_sums(const std::vector<Credit>& credits) {
    std::map<std::pair<int32_t, int32_t>, double> sums;
    for (const Credit& c : credits) sums[{c.a, c.b}] += c.amount;
    std::vector<PairGain> out;
    for (const auto& [pair, gain] : sums) out.push_back({pair.first, pair.second, gain});
    return out;
}

}  // namespace

TEST(PairGains, SumsEachPairInCreditOrderLikeAnOrderedMap) {
    const std::vector<Credit> credits = random_credits(5, 20000);
    PairGains gains;
    for (const Credit& c : credits) gains.add(c.a, c.b, c.amount);
    const std::vector<PairGain> expected = reference_sums(credits);
    EXPECT_GT(expected.size(), 2000u);
    EXPECT_EQ(gains.size(), expected.size());
    // Exact equality: each pair's sum takes its credits in the same order.
    EXPECT_EQ(gains.sorted(), expected);
}

TEST(PairGains, EqualityIgnoresTheOrderPairsWereFirstCredited) {
    PairGains forward, backward;
    for (int32_t j = 0; j < 50; ++j) forward.add(j, 49 - j, 0.5 * j);
    for (int32_t j = 49; j >= 0; --j) backward.add(j, 49 - j, 0.5 * j);
    EXPECT_TRUE(forward == backward);
    backward.add(7, 42, 1.0);
    EXPECT_FALSE(forward == backward);
    // (a, b) and (b, a) are different pairs.
    PairGains ab, ba;
    ab.add(1, 2, 1.0);
    ba.add(2, 1, 1.0);
    EXPECT_FALSE(ab == ba);
}

TEST(PairGains, AssignedEntriesTakeFurtherCredits) {
    PairGains gains;
    gains.assign({{0, 3, 1.0}, {2, 1, 2.0}});
    gains.add(2, 1, 0.5);
    gains.add(0, 0, 4.0);
    EXPECT_EQ(gains.sorted(), (std::vector<PairGain>{{0, 0, 4.0}, {0, 3, 1.0}, {2, 1, 2.5}}));
    gains.clear();
    EXPECT_TRUE(gains.empty());
    gains.add(2, 1, 0.25);
    EXPECT_EQ(gains.sorted(), (std::vector<PairGain>{{2, 1, 0.25}}));
}

TEST(PairGains, AllocatesOnlyWhenTheTableDoubles) {
    const std::vector<Credit> credits = random_credits(9, 20000);
    PairGains gains;
    long allocations = 0;
    {
        CountAllocations counter;
        for (const Credit& c : credits) gains.add(c.a, c.b, c.amount);
        allocations = counter.count();
    }
    // About 3000 pairs: the entries and the index each grow by doubling (some 10 times).
    EXPECT_LE(allocations, 30);
    CountAllocations counter;
    for (const Credit& c : credits) gains.add(c.a, c.b, c.amount);
    EXPECT_EQ(counter.count(), 0);
}
