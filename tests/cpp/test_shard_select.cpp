#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "common/total_order.hpp"
#include "prep/binning.hpp"
#include "prep/shard_bins.hpp"
#include "prep/shard_quantile.hpp"
#include "prep/shard_select.hpp"

using namespace vorlent;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

// The rows of a column dealt into 1 to 4 shards of unequal sizes (one of them often
// empty), each shuffled.
std::vector<std::vector<double>> deal(const std::vector<double>& column, std::mt19937_64& rng) {
    const int n_shards = 1 + static_cast<int>(rng() % 4);
    std::vector<std::vector<double>> shards(n_shards);
    const int empty = static_cast<int>(rng() % (n_shards + 1));  // n_shards: none empty
    for (double v : column) {
        int s = static_cast<int>(rng() % (2 * n_shards)) % n_shards;  // low shards get more
        if (s == empty && n_shards > 1) s = (s + 1) % n_shards;
        shards[s].push_back(v);
    }
    for (auto& shard : shards) std::shuffle(shard.begin(), shard.end(), rng);
    return shards;
}

std::vector<ColumnShard> views(const std::vector<std::vector<double>>& shards) {
    std::vector<ColumnShard> out;
    for (const auto& s : shards) out.push_back({s.data(), static_cast<int64_t>(s.size())});
    return out;
}

// A random column from one of several families that stress the order statistics.
std::vector<double> random_column(std::mt19937_64& rng, int family, size_t n) {
    std::normal_distribution<double> normal(0.0, 1.0);
    const double specials[] = {kNaN, kInf, -kInf, 0.0, -0.0, 1e-310, -5e-324, 1e308};
    std::vector<double> x(n);
    for (double& v : x) {
        switch (family) {
            case 0:
                v = normal(rng);
                break;
            case 1:
                v = static_cast<double>(rng() % 5);
                break;  // heavy duplicates
            case 2:
                v = rng() % 4 == 0 ? specials[rng() % 8] : normal(rng) * 1e3;
                break;
            case 3:
                v = rng() % 3 == 0 ? kNaN : std::ldexp(1.0, static_cast<int>(rng() % 40));
                break;
            case 4:
                v = rng() % 2 == 0 ? 0.0 : -0.0;
                break;
            default:
                v = rng() % 7 == 0 ? -kInf : (rng() % 7 == 0 ? kInf : normal(rng));
                break;
        }
    }
    return x;
}

// build_bins' tables of a single column.
BinnedMatrix whole_column(const std::vector<double>& column, int32_t max_bins, bool categorical) {
    const MatrixView X{column.data(), static_cast<int32_t>(column.size()), 1};
    return build_bins(X, max_bins, {categorical ? 1 : 0});
}

// The sharded path's cut points and bin bounds equal build_bins' (bounds up to the sign of
// a zero, which build_bins takes from the first row holding it).
void expect_same_bins(const std::vector<double>& column,
                      const std::vector<std::vector<double>>& shards, int32_t max_bins,
                      bool categorical) {
    const BinnedMatrix whole = whole_column(column, max_bins, categorical);
    const std::vector<ColumnShard> parts = views(shards);
    const ShardedCuts cuts = sharded_cuts(parts, max_bins, categorical);
    ASSERT_EQ(cuts.edges.size(), whole.edges[0].size());
    for (size_t i = 0; i < cuts.edges.size(); ++i) {
        ASSERT_TRUE(same_bits(cuts.edges[i], whole.edges[0][i]))
            << "cut " << i << ": " << cuts.edges[i] << " vs " << whole.edges[0][i];
    }
    EXPECT_EQ(cuts.has_missing, whole.has_missing[0]);

    BinExtremes extremes = bin_extremes(ColumnShard{}, cuts.edges);
    for (const ColumnShard& part : parts) merge_extremes(extremes, bin_extremes(part, cuts.edges));
    std::vector<double> low, high;
    bin_bounds(cuts, extremes, low, high);
    ASSERT_EQ(low.size(), whole.bin_low[0].size());
    for (size_t k = 0; k < low.size(); ++k) {
        EXPECT_TRUE(same_bits(low[k], whole.bin_low[0][k]) ||
                    (low[k] == 0.0 && whole.bin_low[0][k] == 0.0))
            << "low " << k;
        EXPECT_TRUE(same_bits(high[k], whole.bin_high[0][k]) ||
                    (high[k] == 0.0 && whole.bin_high[0][k] == 0.0))
            << "high " << k;
    }
}

TEST(ShardSelect, RanksEqualTheSortedOrderForAnySplit) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<uint64_t> keys(1 + rng() % 3000);
        // Few distinct keys in some trials, so that prefixes end early on equal keys.
        const uint64_t spread = trial % 3 == 0 ? 7 : ~uint64_t{0};
        for (uint64_t& k : keys) k = trial % 3 == 0 ? (rng() % spread) << (rng() % 60) : rng();
        std::vector<uint64_t> sorted = keys;
        std::sort(sorted.begin(), sorted.end());
        std::vector<uint64_t> ranks;
        for (int i = 0; i < 20; ++i) ranks.push_back(rng() % keys.size());
        ranks.push_back(0);
        ranks.push_back(keys.size() - 1);
        ranks.push_back(ranks.front());  // a repeat

        std::vector<std::vector<uint64_t>> shards(1 + rng() % 4);
        for (uint64_t k : keys) shards[rng() % shards.size()].push_back(k);
        const std::vector<uint64_t> found = select_ranks(shards, ranks);
        for (size_t i = 0; i < ranks.size(); ++i) ASSERT_EQ(found[i], sorted[ranks[i]]) << trial;
    }
}

TEST(ShardSelect, MergeIsOrderFreeAndRejectsRanksBeyondTheKeys) {
    std::mt19937_64 rng(5);
    std::vector<uint64_t> a(500), b(300), c(1);
    for (auto* v : {&a, &b, &c}) {
        for (uint64_t& k : *v) k = rng() >> (rng() % 3);
    }
    RankSelection selection({0, 200, 799});
    selection.decide([&] {  // round 0 over the union
        std::vector<uint64_t> all = empty_counts(selection.round());
        for (auto* v : {&a, &b, &c}) {
            std::vector<uint64_t> part(all.size());
            count_keys(v->data(), static_cast<int64_t>(v->size()), selection.round(), part.data());
            merge_counts(all.data(), part.data(), all.size());
        }
        return all;
    }());
    const SelectRound& round = selection.round();
    auto counts_of = [&](const std::vector<uint64_t>& v) {
        std::vector<uint64_t> out(round.buffer_size());
        count_keys(v.data(), static_cast<int64_t>(v.size()), round, out.data());
        return out;
    };
    std::vector<uint64_t> ab_c = counts_of(a);
    merge_counts(ab_c.data(), counts_of(b).data(), ab_c.size());
    merge_counts(ab_c.data(), counts_of(c).data(), ab_c.size());
    std::vector<uint64_t> c_ba = counts_of(c);
    std::vector<uint64_t> ba = counts_of(b);
    merge_counts(ba.data(), counts_of(a).data(), ba.size());
    merge_counts(c_ba.data(), ba.data(), c_ba.size());
    EXPECT_EQ(ab_c, c_ba);

    RankSelection beyond({801});
    std::vector<uint64_t> merged = empty_counts(beyond.round());
    for (auto* v : {&a, &b, &c}) {
        std::vector<uint64_t> part(merged.size());
        count_keys(v->data(), static_cast<int64_t>(v->size()), beyond.round(), part.data());
        merge_counts(merged.data(), part.data(), merged.size());
    }
    EXPECT_THROW(beyond.decide(merged), std::invalid_argument);
    EXPECT_THROW(beyond.decide({}), std::invalid_argument);
}

TEST(ShardBins, CutsEqualBuildBinsForAnySplit) {
    std::mt19937_64 rng(2024);
    for (int seed = 0; seed < 60; ++seed) {
        const int family = seed % 6;
        const std::vector<double> column = random_column(rng, family, rng() % 2500);
        for (int32_t max_bins : {2, 64, 256, 257}) {
            SCOPED_TRACE(testing::Message()
                         << "seed " << seed << " family " << family << " max_bins " << max_bins);
            expect_same_bins(column, deal(column, rng), max_bins, false);
        }
        SCOPED_TRACE(testing::Message() << "categorical, seed " << seed);
        expect_same_bins(column, deal(column, rng), 64, true);
    }
}

TEST(ShardBins, EdgeColumnsEqualBuildBins) {
    std::mt19937_64 rng(3);
    const std::vector<std::vector<double>> columns = {{},
                                                      {kNaN, kNaN},
                                                      {4.0},
                                                      {kNaN, 4.0},
                                                      {7.0, 7.0, 7.0},
                                                      {0.0, 10.0},
                                                      {-0.0, 0.0, kNaN},
                                                      {kInf, kInf, -kInf, -kInf},
                                                      {kInf, kNaN},
                                                      {-kInf, 1.0, kInf}};
    for (const auto& column : columns) {
        for (int32_t max_bins : {1, 2, 3, 4, 64, 257}) {
            for (bool categorical : {false, true}) {
                SCOPED_TRACE(testing::Message() << "rows " << column.size() << " max_bins "
                                                << max_bins << " categorical " << categorical);
                expect_same_bins(column, deal(column, rng), max_bins, categorical);
            }
        }
    }
}

TEST(ShardBins, CategoricalPastTheDistinctLimitEqualsBuildBins) {
    std::mt19937_64 rng(8);
    // Just below, at and past the number of values that get a bin each, -0.0 and +0.0 both in.
    for (int32_t distinct : {8191, 8192, 8193, 12000}) {
        std::vector<double> column;
        for (int32_t v = 0; v < distinct - 1; ++v) column.push_back(static_cast<double>(v) - 4000);
        column.push_back(-0.0);
        column.push_back(1e9);  // one more distinct value; 0 is there twice as -0.0 and +0.0
        for (int i = 0; i < 3000; ++i) column.push_back(static_cast<double>(rng() % 50));
        column.push_back(kNaN);
        SCOPED_TRACE(testing::Message() << distinct << " distinct");
        expect_same_bins(column, deal(column, rng), 64, true);
    }
}

TEST(ShardBins, DistinctValuesMergeInAnyOrder) {
    std::mt19937_64 rng(17);
    std::vector<double> a, b;
    // Values 1 to 9000 in a random split: 9001 distinct values with the zero, past the limit.
    for (int v = 1; v <= 9000; ++v) (rng() % 2 ? a : b).push_back(static_cast<double>(v));
    a.push_back(0.0);
    b.push_back(-0.0);
    const DistinctValues da = distinct_values({a.data(), static_cast<int64_t>(a.size())});
    const DistinctValues db = distinct_values({b.data(), static_cast<int64_t>(b.size())});
    const DistinctValues ab = merge_distinct(da, db);
    EXPECT_EQ(ab.keys, merge_distinct(db, da).keys);
    EXPECT_TRUE(ab.too_many());
    ASSERT_FALSE(ab.keys.empty());
    // The zero class is kept once, by -0.0.
    EXPECT_EQ(ab.keys.front(), sort_key(-0.0));
    EXPECT_EQ(ab.keys[1], sort_key(1.0));
    EXPECT_EQ(ab.keys.back(), sort_key(static_cast<double>(kMaxCategoryBins)));
}

TEST(ShardQuantile, SelectionEqualsNthElementAtTheLossRanks) {
    // The ranks of the documented examples.
    EXPECT_EQ(median_rank(4), 2u);
    EXPECT_EQ(huber_threshold_rank(1, 0.0), 0u);
    EXPECT_EQ(leaf_quantile_rank(3, 0.5), 1u);
    EXPECT_EQ(leaf_quantile_rank(2, 0.5), 1u);
    EXPECT_EQ(leaf_quantile_rank(5, 1.0), 4u);

    std::mt19937_64 rng(99);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int trial = 0; trial < 30; ++trial) {
        std::vector<double> x(1 + rng() % 900);
        for (double& v : x) v = trial % 2 ? std::round(normal(rng) * 3) : normal(rng);
        const auto n = static_cast<int64_t>(x.size());
        const double alpha = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        const auto shards = deal(x, rng);
        for (uint64_t rank :
             {median_rank(n), huber_threshold_rank(n, alpha), leaf_quantile_rank(n, alpha)}) {
            std::vector<double> copy = x;
            std::nth_element(copy.begin(), copy.begin() + static_cast<int64_t>(rank), copy.end());
            EXPECT_EQ(select_value(views(shards), rank), copy[rank]) << trial;
        }
    }
    const std::vector<double> one = {1.0};
    EXPECT_THROW(select_value(views({one}), 1), std::invalid_argument);
}

}  // namespace
