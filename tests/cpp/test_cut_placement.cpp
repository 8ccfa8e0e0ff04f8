// Every split the tree builders make parts its rows exactly as it was scored: the rows each
// child receives while the tree grows are the rows routing sends there, and the stored gain
// is the gain of exactly that partition. Checked on data with heavy ties, missing values and
// few bins, for every kind of split.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "booster_fixtures.hpp"
#include "common/numeric.hpp"
#include "model/routing.hpp"
#include "prep/binning.hpp"
#include "tree/cut_placement.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/grow_node.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct TiedData {
    std::vector<double> x, grad, hess;
    int32_t rows = 0, cols = 5;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
};

// Five columns of few distinct values each: tenths 0.0 .. 0.5 (not exact in binary), thirds,
// the three values 0, 1 and 1.1 with most rows on 0 and 1.1, a fine column, and category
// codes 0 .. 4; about 5% of each missing. The gradients follow an interaction of them.
TiedData tied_data(uint32_t seed, int32_t rows) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> six(0, 5), five(0, 4), hundred(0, 99);
    std::normal_distribution<double> normal;
    TiedData d;
    d.rows = rows;
    const double offsets[5] = {-1.5, 0.5, 2.0, -0.5, 1.0};
    for (int32_t r = 0; r < rows; ++r) {
        const int t = hundred(gen);
        const double v[5] = {0.1 * six(gen), std::round(normal(gen) * 2.0) / 3.0,
                             t < 45 ? 0.0 : (t < 55 ? 1.0 : 1.1), normal(gen),
                             static_cast<double>(five(gen))};
        const double target = offsets[static_cast<int>(v[4])] * (1.0 + v[0]) + v[1] * v[3] -
                               (v[2] > 1.05 ? 2.0 : 0.0) + 0.2 * normal(gen);
        for (double x : v) d.x.push_back(hundred(gen) < 5 ? kNaN : x);
        d.grad.push_back(-target);
        d.hess.push_back(0.5 + 0.1 * five(gen));
    }
    return d;
}

Booster booster_for(const TiedData& d, int32_t split_mode, int32_t max_bins) {
    Booster b = default_booster();
    b.params.split_mode = static_cast<SplitMode>(split_mode);
    b.params.max_bins = max_bins;
    b.params.max_depth = 5;
    b.params.min_samples = 4;
    b.params.categorical = {0, 0, 0, 0, 1};
    b.model.n_features = d.cols;
    b.model.importances.feature_gain.assign(d.cols, 0.0);
    b.model.importances.coefficient_gain.assign(d.cols, 0.0);
    return b;
}

// For every node: the rows that routing brings to it must give its value (a leaf's Newton
// value) and its gain (a split's, from the side routing sends each row to).
void expect_routing_matches_growth(const Tree& tree, const Booster& b, const TiedData& d,
                                   std::set<int32_t>& kinds) {
    const MatrixView X = d.view();
    std::vector<std::vector<int32_t>> reaching(tree.size());
    for (int32_t r = 0; r < d.rows; ++r) {
        int32_t i = 0;
        reaching[0].push_back(r);
        while (!tree[i].is_leaf) {
            i = next_node(tree[i], X.row(r), b.model.projections);
            reaching[i].push_back(r);
        }
    }
    const double lambda = b.params.reg_lambda;
    for (size_t i = 0; i < tree.size(); ++i) {
        const Node& node = tree[i];
        double G = 0.0, H = 0.0, gl = 0.0, hl = 0.0;
        for (int32_t r : reaching[i]) {
            G += d.grad[r];
            H += d.hess[r];
            if (!node.is_leaf && !goes_right(node, X.row(r), b.model.projections)) {
                gl += d.grad[r];
                hl += d.hess[r];
            }
        }
        SCOPED_TRACE(::testing::Message() << "node " << i << " kind " << node.kind << " projection "
                                        << node.projection);
        if (node.is_leaf) {
            EXPECT_NEAR(node.value, -G / (H + lambda), 1e-12 * (1.0 + std::fabs(node.value)));
            continue;
        }
        kinds.insert(node.projection >= 0 ? 4 : node.kind);
        const double gain = cut_gain(gl, hl, G, H, lambda, G * G / (H + lambda));
        EXPECT_NEAR(node.gain, gain, 1e-9 * (1.0 + std::fabs(gain)));
    }
}

}  // namespace

TEST(CutPlacement, HistogramBuilderAppliesTheScoredPartition) {
    std::set<int32_t> kinds;
    for (uint32_t seed : {1u, 2u, 3u}) {
        const TiedData d = tied_data(seed, 1500);
        const MatrixView X = d.view();
        for (const auto& [split_mode, max_bins] :
             std::vector<std::pair<int32_t, int32_t>>{{1, 3}, {1, 4}, {1, 16}, {0, 4}, {2, 5}}) {
            SCOPED_TRACE(::testing::Message() << "seed " << seed << " split_mode " << split_mode
                                            << " max_bins " << max_bins);
            Booster b = booster_for(d, split_mode, max_bins);
            const BinnedMatrix bins = build_bins(X, b.params.max_bins, b.params.categorical);
            const TreeInput in{&X, &bins, d.grad.data(), d.hess.data()};
            TreeWorkspace ws;
            ws.rows.resize(d.rows);
            for (int32_t r = 0; r < d.rows; ++r) ws.rows[r] = r;
            Tree tree;
            grow_node(tree, in, 0, d.rows, 0, tree_params_of(b, std::vector<double>(d.cols, 1.0)),
                      b.rng, outputs_of(b), -kInf, kInf, ws);
            ASSERT_GT(tree.size(), 7u);
            // The rows each leaf took while the tree grew are the rows routing sends there.
            for (const LeafRange& leaf : ws.leaves) {
                for (int32_t k = leaf.begin; k < leaf.end; ++k) {
                    ASSERT_EQ(find_leaf(tree, X.row(ws.rows[k]), b.model.projections), leaf.node);
                }
            }
            expect_routing_matches_growth(tree, b, d, kinds);
        }
    }
    EXPECT_EQ(kinds, (std::set<int32_t>{kAxis, kLinearPair, kCategoryPair}));
}

TEST(CutPlacement, LineageBuilderAppliesTheScoredPartition) {
    std::set<int32_t> kinds;
    for (uint32_t seed : {4u, 5u}) {
        const TiedData d = tied_data(seed, 1500);
        for (int32_t lineage : {1, 2}) {
            Booster b = booster_for(d, 0, 4);
            b.params.categorical.clear();
            b.params.max_lineage = lineage;
            std::vector<int32_t> rows(d.rows);
            for (int32_t r = 0; r < d.rows; ++r) rows[r] = r;
            Tree tree;
            grow_lineage_tree(tree, d.view(), d.grad.data(), d.hess.data(), rows,
                              tree_params_of(b, std::vector<double>(d.cols, 1.0)), b.rng,
                              outputs_of(b));
            ASSERT_GT(tree.size(), 7u);
            expect_routing_matches_growth(tree, b, d, kinds);
        }
    }
    EXPECT_EQ(kinds, std::set<int32_t>{4});
}

TEST(CutPlacement, ThresholdSitsInTheGapOfTheScoredCells) {
    // Values on a tenths grid, many of them tied, with missing and infinite ones: whatever
    // cut wins, "z < threshold" puts exactly its cells' rows on the left. With far more
    // cells than rows the cut is scanned and placed from the rows ordered by cell.
    std::mt19937 gen(9);
    std::uniform_int_distribution<int> grid(0, 30), hundred(0, 99);
    std::vector<double> cells;
    std::vector<std::pair<int32_t, int32_t>> order;
    for (int trial = 0; trial < 40; ++trial) {
        const int32_t n = 50 + trial * 7;
        std::vector<double> z(n), grad(n), hess(n, 1.0);
        double G = 0.0, H = 0.0;
        for (int32_t k = 0; k < n; ++k) {
            const int c = hundred(gen);
            z[k] = c < 5 ? kNaN : (c < 8 ? -kInf : (c < 10 ? kInf : 0.1 * grid(gen)));
            grad[k] = std::isnan(z[k]) ? 1.0 : std::sin(std::isfinite(z[k]) ? 3.0 * z[k] : 1.0);
            G += grad[k];
            H += hess[k];
        }
        const NodeGradients node{grad.data(), hess.data(), n, G, H};
        double lo = kInf, hi = -kInf;
        for (double v : z) {
            if (std::isfinite(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
        for (const int32_t bins : {3 + trial % 9, 2 * n + 1 + 97 * trial}) {
            const ProjectedCut cut = placed_projection_cut(z.data(), node, 0.5, bins, cells, order);
            ASSERT_TRUE(cut.found) << bins;
            // The scored left side: the rows of cells up to cut.cell, recomputed from scratch.
            const double step = (hi - lo) / bins;
            double gl = 0.0, hl = 0.0;
            for (int32_t k = 0; k < n; ++k) {
                const bool scored_left =
                    !std::isnan(z[k]) && clamp_bin((z[k] - lo) / step, bins) <= cut.cell;
                EXPECT_EQ(z[k] - cut.threshold < 0.0, scored_left) << bins << " value " << z[k];
                if (scored_left) {
                    gl += grad[k];
                    hl += hess[k];
                }
            }
            EXPECT_NEAR(cut.gain, cut_gain(gl, hl, G, H, 0.5, G * G / (H + 0.5)), 1e-9) << bins;
        }
    }
}

TEST(CutPlacement, LeversApplyTheScoredPartition) {
    // best_of_kinds and learn_missing: splits that send missing values left, and axis splits
    // that beat pairs, still part the rows exactly as scored, in both builders.
    std::set<int32_t> kinds;
    int32_t missing_left = 0;
    for (uint32_t seed : {6u, 7u}) {
        const TiedData d = tied_data(seed, 1500);
        const MatrixView X = d.view();
        for (int32_t lineage : {0, 1}) {
            Booster b = booster_for(d, 0, 8);
            b.params.best_of_kinds = true;
            b.params.learn_missing = true;
            b.params.max_lineage = lineage;
            Tree tree;
            if (lineage == 0) {
                const BinnedMatrix bins = build_bins(X, b.params.max_bins, b.params.categorical);
                const TreeInput in{&X, &bins, d.grad.data(), d.hess.data()};
                TreeWorkspace ws;
                ws.rows.resize(d.rows);
                for (int32_t r = 0; r < d.rows; ++r) ws.rows[r] = r;
                grow_node(tree, in, 0, d.rows, 0,
                          tree_params_of(b, std::vector<double>(d.cols, 1.0)), b.rng, outputs_of(b),
                          -kInf, kInf, ws);
            } else {
                b.params.categorical.clear();
                std::vector<int32_t> rows(d.rows);
                for (int32_t r = 0; r < d.rows; ++r) rows[r] = r;
                grow_lineage_tree(tree, X, d.grad.data(), d.hess.data(), rows,
                                  tree_params_of(b, std::vector<double>(d.cols, 1.0)), b.rng,
                                  outputs_of(b));
            }
            ASSERT_GT(tree.size(), 7u);
            expect_routing_matches_growth(tree, b, d, kinds);
            for (const Node& node : tree) missing_left += !node.is_leaf && node.missing_right == 0;
        }
    }
    EXPECT_GT(missing_left, 0);
    EXPECT_TRUE(kinds.count(kAxis) && kinds.count(4));
}
