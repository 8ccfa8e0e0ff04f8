#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "exact/counter_random.hpp"
#include "exact/lineage_builder.hpp"
#include "exact/lineage_stats.hpp"
#include "exact_fixtures.hpp"
#include "model/routing.hpp"
#include "prep/binning.hpp"
#include "tree/lineage_direction.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

constexpr int32_t kNodes = 4;

// Candidates of three requested nodes: node 3 the columns and two directions (one reading
// a column twice over with the others), node 0 a single column (no pair), node 1 none.
std::shared_ptr<LineageCandidates> candidates(const RoundGrids& grids,
                                              const std::vector<double>& bound) {
    auto c = std::make_shared<LineageCandidates>();
    c->grids = grids;
    c->open_node();
    for (int32_t f = 0; f < 4; ++f) c->add({f}, {1.0}, lineage_value_exponent(bound[f]));
    c->add({0, 2}, {0.6, -0.8}, lineage_value_exponent(0.6 * bound[0] + 0.8 * bound[2]));
    c->add({1, 2, 3}, {0.5, 0.5, -std::sqrt(0.5)},
           lineage_value_exponent(0.5 * bound[1] + 0.5 * bound[2] + std::sqrt(0.5) * bound[3]));
    c->open_node();
    c->add({3}, {1.0}, lineage_value_exponent(bound[3]));
    c->open_node();
    c->slots = 6;
    return c;
}

}  // namespace

// The moments of every pair of a node's candidates: a shard's buffer merged with another's is
// the buffer of their rows together, bit for bit, in any order; and each pair's sums are
// those of its rows where both values are finite, as the obvious double loop forms them.
TEST(ExactLineage, PairMomentsOfShardsMergeToThoseOfAllRowsBitForBit) {
    for (uint32_t trial = 0; trial < 8; ++trial) {
        const AwkwardTable table = awkward_table(150 + 41 * static_cast<int32_t>(trial), 5, trial);
        const MatrixView X = table.view();
        const BinnedMatrix bins = build_bins(X, 16, {});
        std::vector<double> grad, hess;
        awkward_gradients(table.rows, 1, trial + 50, grad, hess);
        std::mt19937 gen(trial);
        std::uniform_int_distribution<int32_t> node(0, kNodes - 1);
        std::vector<int32_t> node_of(static_cast<size_t>(table.rows));
        for (int32_t& n : node_of) n = node(gen);

        std::vector<double> bound(5, 0.0);
        for (int32_t r = 0; r < table.rows; ++r) {
            for (int32_t f = 0; f < 5; ++f) {
                const double v = X.row(r)[f];
                if (std::isfinite(v)) bound[f] = std::max(bound[f], std::fabs(v));
            }
        }
        TestShard all, a, b, empty;
        all.rows.resize(static_cast<size_t>(table.rows));
        std::iota(all.rows.begin(), all.rows.end(), 0);
        for (int32_t r = 0; r < table.rows; ++r) (gen() % 3 == 0 ? a : b).rows.push_back(r);
        std::shuffle(a.rows.begin(), a.rows.end(), gen);
        std::shuffle(b.rows.begin(), b.rows.end(), gen);
        RoundSummary summary;
        const uint64_t key = tree_key(kBagStream, 3, trial);
        const double subsample = trial % 2 == 0 ? 1.0 : 0.7;
        for (TestShard* s : {&all, &a, &b, &empty}) {
            s->shard =
                ShardRows{&bins, X, s->rows.data(), static_cast<int64_t>(s->rows.size()), nullptr};
            const RoundSummary part =
                begin_tree(s->shard, key, subsample, grad.data(), hess.data(), 1, s->tree);
            if (s != &all) summary.merge(part);
            for (size_t i = 0; i < s->tree.bag.size(); ++i)
                s->tree.node[i] = node_of[s->tree.bag[i]];
        }
        const RoundGrids grids = RoundGrids::of(summary, 1);
        StatsRequest request;
        request.kind = kLineageMoments;
        request.nodes = {3, 0, 1};
        request.node_ids = kNodes;
        request.lineage = candidates(grids, bound);
        const HistogramShape shape = HistogramShape::of(bins);
        std::vector<std::vector<int64_t>> out(4);
        int32_t i = 0;
        for (TestShard* s : {&all, &a, &b, &empty}) {
            fix_gradients(s->shard, grad.data(), hess.data(), 1, grids, s->tree);
            shard_stats(s->shard, s->tree, request, shape, 1, out[i++]);
        }
        std::vector<int64_t> merged = out[3];
        merge_stats(merged, out[2]);
        merge_stats(merged, out[1]);
        EXPECT_EQ(merged, out[0]) << "trial " << trial;
        merged = out[1];
        merge_stats(merged, out[3]);
        merge_stats(merged, out[2]);
        EXPECT_EQ(merged, out[0]) << "trial " << trial;

        // Against the rows of node 3, in double precision.
        const LineageCandidates& c = *request.lineage;
        const int64_t words = lineage_block_words(c.slots);
        ASSERT_EQ(out[0].size(), static_cast<size_t>(kStatsHeader + 3 * words));
        const int64_t* block = out[0].data() + kStatsHeader;
        auto value = [&](int32_t cand, int32_t r) {
            const int64_t e0 = c.entry_start[cand];
            return candidate_value(c.column.data() + e0, c.coef.data() + e0,
                                   c.entry_start[cand + 1] - e0, X.row(r));
        };
        int64_t count = 0;
        for (const int32_t r : all.tree.bag) count += node_of[r] == 3 ? 1 : 0;
        EXPECT_EQ(block[0], count);
        for (int32_t p = 0; p < 6; ++p) {
            for (int32_t q = p + 1; q < 6; ++q) {
                PairSums want;
                for (const int32_t r : all.tree.bag) {
                    const double xa = value(p, r), xb = value(q, r);
                    if (node_of[r] != 3 || !std::isfinite(xa) || !std::isfinite(xb)) continue;
                    want.add(xa, xb, hess[r], -grad[r]);
                }
                const PairSums got = lineage_pair_sums(block, lineage_pair_index(p, q, 6), 6, grids,
                                                       c.exponent[p], c.exponent[q]);
                // Each term moves by at most a step of its grid (a grid of the whole bag).
                const double hs = grids.hess.step * count * 4.0, gs = grids.grad.step * count * 4.0;
                const double sa = std::ldexp(1.0, c.exponent[p]),
                             sb = std::ldexp(1.0, c.exponent[q]);
                EXPECT_NEAR(got.H, want.H, hs);
                EXPECT_NEAR(got.T0, want.T0, gs);
                EXPECT_NEAR(got.S_a, want.S_a, hs * sa);
                EXPECT_NEAR(got.S_b, want.S_b, hs * sb);
                EXPECT_NEAR(got.S_aa, want.S_aa, hs * sa * sa * 2);
                EXPECT_NEAR(got.S_bb, want.S_bb, hs * sb * sb * 2);
                EXPECT_NEAR(got.S_ab, want.S_ab, hs * sa * sb * 2);
                EXPECT_NEAR(got.T_a, want.T_a, gs * sa);
                EXPECT_NEAR(got.T_b, want.T_b, gs * sb);
            }
        }
        // Each candidate alone ranks as its double sums rank it.
        for (int32_t p = 0; p < 6; ++p) {
            double s[5] = {};
            for (const int32_t r : all.tree.bag) {
                const double x = value(p, r);
                if (node_of[r] != 3 || !std::isfinite(x)) continue;
                s[0] += hess[r];
                s[1] += hess[r] * x;
                s[2] += hess[r] * x * x;
                s[3] -= grad[r] * x;
                s[4] -= grad[r];
            }
            const double want = single_column_score(s[0], s[1], s[2], s[3], s[4]);
            EXPECT_NEAR(lineage_single_score(block, p, grids, c.exponent[p]), want,
                        1e-9 * (1.0 + want));
        }
        // Node 0 has one candidate: no pair; node 1 none.
        for (int64_t t = 1; t < 3; ++t) {
            const int64_t* other = block + t * words;
            const int64_t from = t == 1 ? lineage_pair_offset(0, 6) : kNodeWords;
            for (int64_t w = from; w < words; ++w) EXPECT_EQ(other[w], 0);
        }
    }
}

TEST(ExactLineage, ValueExponentsBoundEveryValueOfACandidate) {
    for (const double bound : {0.0, 1e-300, 0.75, 1.0, 3.0, 1e300, 1.7e308}) {
        const int32_t k = lineage_value_exponent(bound);
        EXPECT_LT(bound * std::ldexp(1.0, -k), 1.0) << bound;
        EXPECT_GE(bound * std::ldexp(1.0, -k), bound == 0.0 ? 0.0 : 0.25) << bound;
    }
}

namespace {

// A table whose target needs a direction across two columns, with missing values.
struct LineageCase {
    std::vector<double> x;
    MatrixView X;
    std::vector<double> grad, hess;
    BinnedMatrix bins;
    std::vector<double> bound;
};

LineageCase lineage_case(int32_t rows, uint32_t seed) {
    LineageCase c;
    std::mt19937 gen(seed);
    std::normal_distribution<double> n(0.0, 1.0);
    const int32_t cols = 4;
    c.x.resize(static_cast<size_t>(rows) * cols);
    for (int32_t r = 0; r < rows; ++r) {
        double* row = c.x.data() + static_cast<int64_t>(r) * cols;
        for (int32_t f = 0; f < cols; ++f) row[f] = gen() % 29 == 0 ? std::nan("") : n(gen);
        const double a = std::isnan(row[0]) ? 0.0 : row[0], b = std::isnan(row[1]) ? 0.0 : row[1];
        c.grad.push_back((a + 0.8 * b > 0.2 ? -1.0 : 1.0) + 0.1 * n(gen));
        c.hess.push_back(0.5 + 0.25 * std::fabs(n(gen)));
    }
    c.X = MatrixView{c.x.data(), rows, cols};
    c.bins = build_bins(c.X, 32, {});
    c.bound.assign(cols, 0.0);
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t f = 0; f < cols; ++f) {
            const double v = c.X.row(r)[f];
            if (std::isfinite(v)) c.bound[f] = std::max(c.bound[f], std::fabs(v));
        }
    }
    return c;
}

}  // namespace

// A grown tree keeps what the coordinator promises: at most 3 x depth + 1 statistics
// requests, unit directions appended to the projections, each node covering the bag rows
// routing sends to it (children adding up to their parent) and each leaf the Newton value
// of those rows' sums on the grids.
TEST(ExactLineage, TreesRouteTheirRowsAsTheyScoredThemWithinTheRequestBudget) {
    for (const int32_t lineage : {1, 2}) {
        const LineageCase c = lineage_case(1500, 11 + lineage);
        TreeParams params;
        params.max_depth = 4;
        params.min_samples = 10;
        params.max_lineage = lineage;
        params.hist_bins = 32;
        params.learn_missing = lineage == 2;
        const ExactTreeConfig config{&params, 0.8, 9, 2, &c.bins};
        std::vector<int32_t> rows(1500);
        std::iota(rows.begin(), rows.end(), 0);
        LocalShard shard;
        shard.rows = ShardRows{&c.bins, c.X, rows.data(), 1500, nullptr};
        const HistogramShape shape = HistogramShape::of(c.bins);
        int32_t requests = 0;
        ShardSource source = local_source(shard, c.grad.data(), c.hess.data(), 1, shape);
        auto stats = source.stats;
        source.stats = [&](const StatsRequest& r, std::vector<int64_t>& out) {
            ++requests;
            stats(r, out);
        };
        std::vector<ShardSource> sources{source};
        LevelWorkspace ws;
        Directions projections;
        const ExactTree grown = grow_exact_lineage_tree(config, c.bound, projections, sources, ws);
        const Tree& tree = grown.tree;
        EXPECT_LE(requests, 3 * params.max_depth + 1);
        ASSERT_GT(tree.size(), 3u) << "the tree should split";
        // Per tree node: the bag rows routing sends there, and their fixed sums.
        std::vector<double> count(tree.size(), 0.0);
        std::vector<int64_t> g(tree.size(), 0), h(tree.size(), 0);
        for (size_t i = 0; i < shard.tree.bag.size(); ++i) {
            const int32_t r = shard.tree.bag[i];
            int32_t at = 0;
            for (;;) {
                count[at] += 1;
                g[at] += grown.grids.grad.fixed(c.grad[r]);
                h[at] += grown.grids.hess.fixed(c.hess[r]);
                if (tree[at].is_leaf) break;
                at = next_node(tree[at], c.X.row(r), projections);
            }
            EXPECT_EQ(grown.tree_index[shard.tree.node[i]], at);
        }
        for (size_t at = 0; at < tree.size(); ++at) {
            EXPECT_EQ(grown.covers[at], count[at]) << "node " << at;
            if (!tree[at].is_leaf) {
                const std::vector<double>& d = projections.at(tree[at].projection);
                double norm = 0.0;
                for (const double v : d) norm += v * v;
                EXPECT_NEAR(norm, 1.0, 1e-12);
                EXPECT_GT(tree[at].gain, kMinGain);
                continue;
            }
            const double want = count[at] == 0.0 ? 0.0
                                                 : -grown.grids.grad.value(g[at]) /
                                                       (grown.grids.hess.value(h[at]) + 1.0);
            EXPECT_EQ(tree[at].value, want) << "leaf " << at;
        }
    }
}
