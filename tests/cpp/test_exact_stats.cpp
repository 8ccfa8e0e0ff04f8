#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "exact/counter_random.hpp"
#include "exact/fixed_grid.hpp"
#include "exact/level_stats.hpp"
#include "exact_fixtures.hpp"
#include "prep/binning.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

constexpr int32_t kNodes = 5;


struct StatsCase {
    AwkwardTable table;
    BinnedMatrix bins;
    MatrixView X;
    std::vector<double> grad, hess;
    std::vector<int32_t> node_of;
    int32_t k = 1;
};

RoundSummary start(const StatsCase& s, TestShard& t, double subsample) {
    t.shard = ShardRows{&s.bins, s.X, t.rows.data(), static_cast<int64_t>(t.rows.size()), nullptr};
    const uint64_t key = tree_key(kBagStream, 7, 3);
    RoundSummary summary =
        begin_tree(t.shard, key, subsample, s.grad.data(), s.hess.data(), s.k, t.tree);
    for (size_t i = 0; i < t.tree.bag.size(); ++i) t.tree.node[i] = s.node_of[t.tree.bag[i]];
    return summary;
}

std::vector<StatsRequest> requests(int32_t k) {
    StatsRequest sums;
    sums.kind = kOutputSums;
    sums.nodes = {4, 0, 2, 1};
    StatsRequest hist;
    hist.kind = kBinHistograms;
    hist.nodes = {3, 0, 1};
    hist.first_output = {k > 1 ? 2 : 0, 0, k > 1 ? 1 : 0};
    hist.second_output = {0, k > 1 ? 1 : 0, k > 1 ? 2 : 0};
    sums.node_ids = hist.node_ids = kNodes;
    return {sums, hist};
}

// The statistics of the rows of node `node` by the obvious loops.
std::vector<int64_t> naive_block(const StatsCase& s, const RoundGrids& grids,
                                 const StatsRequest& req, size_t t, const HistogramShape& shape) {
    const int32_t k = s.k;
    std::vector<int64_t> block(static_cast<size_t>(block_words(req, shape, k)), 0);
    for (int32_t r = 0; r < s.table.rows; ++r) {
        if (s.node_of[r] != req.nodes[t]) continue;
        block[0] += 1;
        if (req.kind == kOutputSums) {
            for (int32_t j = 0; j < k; ++j) {
                block[1 + 2 * j] += grids.grad.fixed(s.grad[r * k + j]);
                block[2 + 2 * j] += grids.hess.fixed(s.hess[r * k + j]);
            }
            continue;
        }
        const int32_t p = req.first_output[t], q = req.second_output[t];
        int64_t g = grids.grad.fixed(s.grad[r * k + p]);
        int64_t h = grids.hess.fixed(s.hess[r * k + p]);
        if (k > 1) {
            g -= grids.grad.fixed(s.grad[r * k + q]);
            h += grids.hess.fixed(s.hess[r * k + q]);
        }
        block[1] += g;
        block[2] += h;
        for (int32_t f = 0; f < s.table.cols; ++f) {
            const int64_t bin = shape.bin_offset[f] + s.bins.code(int64_t{r} * s.table.cols + f);
            block[kNodeWords + 3 * bin] += g;
            block[kNodeWords + 3 * bin + 1] += h;
            block[kNodeWords + 3 * bin + 2] += 1;
        }
    }
    return block;
}

}  // namespace

TEST(ExactStats, ShardsMergeToTheStatisticsOfAllRowsBitForBit) {
    for (uint32_t trial = 0; trial < 12; ++trial) {
        StatsCase s;
        s.k = trial % 2 == 0 ? 1 : 3;
        s.table = awkward_table(160 + 37 * static_cast<int32_t>(trial), 5, trial);
        s.X = s.table.view();
        s.bins = build_bins(s.X, trial % 3 == 0 ? 300 : 8, s.table.categorical());
        awkward_gradients(s.table.rows, s.k, trial + 100, s.grad, s.hess);
        std::mt19937 gen(trial);
        std::uniform_int_distribution<int32_t> node(0, kNodes - 1);
        for (int32_t r = 0; r < s.table.rows; ++r) s.node_of.push_back(node(gen));

        // All rows in order, and a random split of them into two shuffled shards.
        TestShard all, a, b;
        all.rows.resize(static_cast<size_t>(s.table.rows));
        std::iota(all.rows.begin(), all.rows.end(), 0);
        std::bernoulli_distribution side(trial % 4 == 1 ? 0.05 : 0.5);
        for (int32_t r = 0; r < s.table.rows; ++r) (side(gen) ? a : b).rows.push_back(r);
        std::shuffle(a.rows.begin(), a.rows.end(), gen);
        std::shuffle(b.rows.begin(), b.rows.end(), gen);

        RoundSummary whole = start(s, all, 1.0);
        RoundSummary parts = start(s, a, 1.0);
        parts.merge(start(s, b, 1.0));
        EXPECT_EQ(parts.bag_rows, whole.bag_rows);
        EXPECT_EQ(parts.max_abs_grad, whole.max_abs_grad);
        EXPECT_EQ(parts.max_hess, whole.max_hess);
        const RoundGrids grids = RoundGrids::of(whole, s.k);
        for (TestShard* t : {&all, &a, &b}) {
            fix_gradients(t->shard, s.grad.data(), s.hess.data(), s.k, grids, t->tree);
        }
        const HistogramShape shape = HistogramShape::of(s.bins);
        for (const StatsRequest& req : requests(s.k)) {
            std::vector<int64_t> full, left, right;
            shard_stats(all.shard, all.tree, req, shape, s.k, full);
            shard_stats(a.shard, a.tree, req, shape, s.k, left);
            shard_stats(b.shard, b.tree, req, shape, s.k, right);
            std::vector<int64_t> merged = right;  // either order of merging
            merge_stats(merged, left);
            EXPECT_EQ(merged, full) << "trial " << trial << " kind " << req.kind;
            merge_stats(left, right);
            EXPECT_EQ(left, full);
            const int64_t words = block_words(req, shape, s.k);
            for (size_t t = 0; t < req.nodes.size(); ++t) {
                const std::vector<int64_t> expected = naive_block(s, grids, req, t, shape);
                const std::vector<int64_t> got(full.begin() + kStatsHeader + t * words,
                                               full.begin() + kStatsHeader + (t + 1) * words);
                EXPECT_EQ(got, expected) << "trial " << trial << " node " << req.nodes[t];
            }
        }
    }
}

TEST(ExactStats, MergeRefusesBuffersOfAnotherRequest) {
    HistogramShape shape;
    shape.n_features = 1;
    shape.bin_offset = {0, 4};
    StatsRequest one;
    one.nodes = {0};
    StatsRequest two = one;
    two.nodes = {0, 1};
    std::vector<int64_t> a = empty_stats(one, shape, 2);
    EXPECT_THROW(merge_stats(a, empty_stats(two, shape, 2)), std::invalid_argument);
    StatsRequest hist = one;
    hist.kind = kBinHistograms;
    EXPECT_THROW(merge_stats(a, empty_stats(hist, shape, 1)), std::invalid_argument);
}

TEST(ExactStats, TheBagOfARowDependsOnItsGlobalIndexAlone) {
    const AwkwardTable table = awkward_table(20000, 2, 5);
    const MatrixView X = table.view();
    const BinnedMatrix bins = build_bins(X, 16, {});
    std::vector<double> grad(20000, 0.5), hess(20000, 1.0);
    std::vector<int32_t> rows(20000);
    std::iota(rows.begin(), rows.end(), 0);
    std::vector<int32_t> reversed(rows.rbegin(), rows.rend());
    ShardTree forward, backward;
    const uint64_t key = tree_key(kBagStream, 11, 4);
    const RoundSummary s1 = begin_tree(ShardRows{&bins, X, rows.data(), 20000, nullptr}, key, 0.3,
                                       grad.data(), hess.data(), 1, forward);
    begin_tree(ShardRows{&bins, X, reversed.data(), 20000, nullptr}, key, 0.3, grad.data(),
               hess.data(), 1, backward);
    std::vector<int32_t> b(backward.bag.rbegin(), backward.bag.rend());
    EXPECT_EQ(forward.bag, b);
    EXPECT_NEAR(static_cast<double>(s1.bag_rows) / 20000.0, 0.3, 0.015);
    // Another tree draws another bag; global ids stand in for local rows.
    ShardTree other;
    std::vector<int64_t> ids(20000);
    for (int64_t i = 0; i < 20000; ++i) ids[i] = 19999 - i;
    begin_tree(ShardRows{&bins, X, rows.data(), 20000, ids.data()}, key, 0.3, grad.data(),
               hess.data(), 1, other);
    std::set<int32_t> mapped;
    for (const int32_t r : other.bag) mapped.insert(19999 - r);
    EXPECT_EQ(std::vector<int32_t>(mapped.begin(), mapped.end()), forward.bag);
    ShardTree next;
    begin_tree(ShardRows{&bins, X, rows.data(), 20000, nullptr}, tree_key(kBagStream, 11, 5), 0.3,
               grad.data(), hess.data(), 1, next);
    EXPECT_NE(next.bag, forward.bag);
}

TEST(ExactStats, ColumnSamplesAreSortedDistinctAndEven) {
    std::vector<int32_t> out;
    std::vector<uint64_t> draws;
    std::vector<int32_t> hits(10, 0);
    for (int32_t node = 0; node < 4000; ++node) {
        sample_node_columns(child_key(tree_key(kColumnStream, 3, 0), node % 2) + node, 10, 0.3, out,
                            draws);
        ASSERT_EQ(out.size(), 3u);
        EXPECT_TRUE(std::is_sorted(out.begin(), out.end()));
        EXPECT_EQ(std::set<int32_t>(out.begin(), out.end()).size(), 3u);
        for (const int32_t c : out) ++hits[c];
    }
    for (const int32_t h : hits) EXPECT_NEAR(h / 4000.0, 0.3, 0.04);
    sample_node_columns(1, 1, 0.1, out, draws);  // never more columns than there are
    EXPECT_EQ(out, std::vector<int32_t>{0});
}

TEST(ExactStats, GridRoundsOnceToNearestEvenAndKeepsSumsInRange) {
    const FixedGrid g = FixedGrid::for_bound(1000.0);  // 2^9 <= 1000 < 2^10
    EXPECT_EQ(g.exponent, 10);
    EXPECT_EQ(g.fixed(0.5 * g.step), 0);
    EXPECT_EQ(g.fixed(1.5 * g.step), 2);
    EXPECT_EQ(g.fixed(-2.5 * g.step), -2);
    EXPECT_EQ(g.fixed(-0.0), 0);
    EXPECT_EQ(g.fixed(std::nan("")), 0);
    EXPECT_EQ(g.value(g.fixed(3.25)), 3.25);
    // A thousand terms of the largest size the bound allows add up inside int64.
    int64_t total = 0;
    for (int i = 0; i < 1000; ++i) total += g.fixed(1.0);
    EXPECT_EQ(g.value(total), 1000.0);
    EXPECT_THROW(FixedGrid::for_bound(std::numeric_limits<double>::infinity()),
                 std::invalid_argument);
    EXPECT_EQ(FixedGrid::for_bound(0.0).fixed(0.0), 0);
}
