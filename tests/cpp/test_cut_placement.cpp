// Every split the tree builders make parts its rows exactly as it was scored: the rows each
// child receives while the tree grows are the rows routing sends there, and the stored gain
// is the gain of exactly that partition. Checked on data with heavy ties, missing values and
// few bins, for every kind of split. A pair cut placed on the values routing reads gains at
// least as much as the cut the search found.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "booster_fixtures.hpp"
#include "common/numeric.hpp"
#include "decide/newton.hpp"
#include "model/routing.hpp"
#include "prep/binning.hpp"
#include "tree/cut_placement.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/grow_node.hpp"
#include "tree/pair_evaluation.hpp"
#include "tree/split_search.hpp"

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

// The gain of the partition a pair test with this bias makes of rows whose projected values
// are z (NaN: no value), from scratch: left where z + bias < 0, as routing tests it.
double partition_gain(const std::vector<double>& z, double bias, int32_t missing_right,
                      const std::vector<double>& grad, const std::vector<double>& hess,
                      double lambda) {
    double G = 0.0, H = 0.0, gl = 0.0, hl = 0.0;
    for (size_t k = 0; k < z.size(); ++k) {
        G += grad[k];
        H += hess[k];
        if (std::isnan(z[k]) ? missing_right == 0 : z[k] + bias < 0.0) {
            gl += grad[k];
            hl += hess[k];
        }
    }
    const double gr = G - gl, hr = H - hl;
    return gl * gl / (hl + lambda) + gr * gr / (hr + lambda) - G * G / (H + lambda);
}

// The values of a pair test over the rows of X.
std::vector<double> pair_values(const SplitChoice& s, const MatrixView& X) {
    std::vector<double> z(static_cast<size_t>(X.n_rows));
    for (int32_t r = 0; r < X.n_rows; ++r) {
        const double a = X.row(r)[s.feature_a], b = X.row(r)[s.feature_b];
        z[r] = std::isnan(a) || std::isnan(b)
                   ? kNaN
                   : pair_value(s.kind, s.coef_a, s.coef_b, s.category_values, a, b);
    }
    return z;
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
    // Values on a tenths grid, many of them tied, with missing and infinite ones, on cells
    // that reach past the values (as the search's cells may): whatever cut wins,
    // "z < threshold" puts exactly its cells' rows on the left. With far more cells than
    // rows the cut is scanned and placed from the rows ordered by cell.
    std::mt19937 gen(9);
    std::uniform_int_distribution<int> grid(0, 30), hundred(0, 99);
    std::vector<double> cells, placed;
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
        const double pad = 0.1 * (trial % 4);
        for (const int32_t bins : {3 + trial % 9, 2 * n + 1 + 97 * trial}) {
            const ProjectedGrid cut_grid{-pad, (3.0 + 2 * pad) / bins, bins};
            placed = z;
            const ProjectedCut cut =
                placed_projection_cut(placed.data(), node, 0.5, cut_grid, cells, order);
            ASSERT_TRUE(cut.found) << bins;
            // The scored left side: the rows of cells up to cut.cell, recomputed from scratch.
            double gl = 0.0, hl = 0.0;
            for (int32_t k = 0; k < n; ++k) {
                const bool scored_left =
                    !std::isnan(z[k]) &&
                    clamp_bin((z[k] - cut_grid.lo) / cut_grid.step, bins) <= cut.cell;
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

TEST(CutPlacement, PlacedPairCutGainsAtLeastTheSearchedCut) {
    // The search scores a pair's cuts on single-precision copies of the values (without
    // missing values on 4 * bins cells over the columns' box); placed again on the double
    // values routing reads, the cut must gain at least what the searched cut gains there.
    // Columns far from zero make the single-precision values coarse.
    std::mt19937 gen(21);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double lambda = 1.0;
    std::vector<double> z, cells;
    std::vector<std::pair<int32_t, int32_t>> order;
    int32_t searched_cuts = 0;
    for (int trial = 0; trial < 240; ++trial) {
        const int32_t n = 40 + (trial * 379) % 3000;
        const int32_t bins = 2 + (trial * 7) % 63;
        const bool missing = trial % 3 == 0;
        const bool learn_missing = trial % 2 == 0;
        const double offset = trial % 4 == 1 ? 300.0 : 0.0;
        std::vector<double> x(2 * static_cast<size_t>(n)), grad(n), hess(n);
        std::vector<float> xa(n), xb(n), gh32(2 * static_cast<size_t>(n));
        FeatureMoments ma, mb;
        ma.min_x = mb.min_x = kInf;
        ma.max_x = mb.max_x = -kInf;
        double G = 0.0, H = 0.0;
        for (int32_t k = 0; k < n; ++k) {
            const double a = offset + normal(gen), b = 3.0 * normal(gen);
            grad[k] = (a - offset) - 0.5 * b + 0.3 * (a - offset) * b + 0.2 * normal(gen);
            hess[k] = 0.5 + unit(gen);
            G += grad[k];
            H += hess[k];
            x[2 * k] = missing && unit(gen) < 0.05 ? kNaN : a;
            x[2 * k + 1] = missing && unit(gen) < 0.05 ? kNaN : b;
            xa[k] = static_cast<float>(x[2 * k]);
            xb[k] = static_cast<float>(x[2 * k + 1]);
            gh32[2 * k] = static_cast<float>(grad[k]);
            gh32[2 * k + 1] = static_cast<float>(hess[k]);
            ma.min_x = std::min(ma.min_x, a);
            ma.max_x = std::max(ma.max_x, a);
            mb.min_x = std::min(mb.min_x, b);
            mb.max_x = std::max(mb.max_x, b);
        }
        const double angle = 6.283185307179586 * unit(gen);
        const FeatureColumn fa{0, xa.data(), true}, fb{1, xb.data(), true};
        const NodeGradients node{grad.data(), hess.data(), n, G, H};
        ThreadScratch s;
        SplitChoice split = evaluate_linear_pair(fa, fb, std::cos(angle), std::sin(angle), node,
                                                 gh32.data(), lambda, bins, s, missing, ma, mb);
        if (split.kind != kLinearPair) continue;
        ++searched_cuts;
        const MatrixView X{x.data(), n, 2};
        const std::vector<double> values = pair_values(split, X);
        const double searched = partition_gain(values, split.bias, 1, grad, hess, lambda);
        std::vector<int32_t> rows(n);
        std::iota(rows.begin(), rows.end(), 0);
        const bool placed =
            place_pair_cut(split, X, rows.data(), node, lambda, z, cells, order, learn_missing);
        const double gain =
            placed ? partition_gain(values, split.bias, split.missing_right, grad, hess, lambda)
                   : 0.0;
        EXPECT_GE(gain, searched - 1e-9 * (1.0 + std::fabs(searched)))
            << "trial " << trial << " rows " << n << " bins " << bins;
    }
    EXPECT_GT(searched_cuts, 200);
}

TEST(CutPlacement, PlantedInteractionRootKeepsTheSearchedGain) {
    // y = x0 - 0.5 x1 + 0.3 x2 x3 + 0.2 noise, the columns scaled by 1, 3, 0.5 and 1: the
    // root of a depth-1 regression tree is a pair split, whose stored gain is at least the
    // gain of the searched cut on the double values.
    for (uint32_t seed : {1u, 3u, 5u}) {
        std::mt19937 gen(seed);
        std::normal_distribution<double> normal;
        const int32_t n = 400, cols = 4;
        const double scale[cols] = {1.0, 3.0, 0.5, 1.0};
        std::vector<double> x(static_cast<size_t>(n) * cols), y(n);
        for (int32_t r = 0; r < n; ++r) {
            for (int32_t c = 0; c < cols; ++c) x[r * cols + c] = scale[c] * normal(gen);
        }
        for (int32_t r = 0; r < n; ++r) {
            const double* v = x.data() + static_cast<size_t>(r) * cols;
            y[r] = v[0] - 0.5 * v[1] + 0.3 * v[2] * v[3] + 0.2 * normal(gen);
        }
        const double mean = std::accumulate(y.begin(), y.end(), 0.0) / n;
        std::vector<double> grad(n), hess(n, 1.0);
        for (int32_t r = 0; r < n; ++r) grad[r] = mean - y[r];
        const MatrixView X{x.data(), n, cols};

        Booster b = default_booster();
        b.params.max_depth = 1;
        b.params.min_samples = 2;
        ready_to_grow(b, cols);
        const TreeParams params = tree_params_of(b, std::vector<double>(cols, 1.0));
        const BinnedMatrix bins = build_bins(X, b.params.max_bins, b.params.categorical);
        std::vector<FeatureColumn> columns;
        for (int32_t c = 0; c < cols; ++c) columns.push_back(FeatureColumn{c, nullptr, false});
        const double G = std::accumulate(grad.begin(), grad.end(), 0.0);
        const NodeGradients node{grad.data(), hess.data(), n, G, static_cast<double>(n)};
        std::vector<int32_t> rows(n);
        std::iota(rows.begin(), rows.end(), 0);
        const NodeSearch search{&columns, &node, &X, rows.data(), &bins, &params, 0};
        std::vector<ThreadScratch> scratch;
        SearchWorkspace sw;
        const SplitChoice searched = search_oblique_split(search, scratch, sw);
        ASSERT_EQ(searched.kind, kLinearPair) << seed;

        const TreeInput in{&X, &bins, grad.data(), hess.data()};
        TreeWorkspace ws;
        ws.rows = rows;
        Tree tree;
        grow_node(tree, in, 0, n, 0, params, b.rng, outputs_of(b), -kInf, kInf, ws);
        ASSERT_EQ(tree.size(), 3u);
        EXPECT_EQ(tree[0].kind, kLinearPair) << seed;
        const double searched_gain = partition_gain(pair_values(searched, X), searched.bias, 1,
                                                    grad, hess, b.params.reg_lambda);
        EXPECT_GE(tree[0].gain, searched_gain - 1e-9 * searched_gain) << seed;
    }
}
