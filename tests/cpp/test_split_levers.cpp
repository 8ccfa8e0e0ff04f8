// The two accuracy levers against slow references: learn_missing scores every cut with the
// missing rows on either side, best_of_kinds takes the better of the best pair split and
// the best single-column split.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "common/numeric.hpp"
#include "decide/newton.hpp"
#include "grow_fixtures.hpp"
#include "prep/binning.hpp"
#include "tree/cut_placement.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/grow_node.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct GridData {
    std::vector<double> x, grad, hess;
    int32_t rows = 0, cols = 0;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
};

// Columns of at most 13 distinct values each (one bin per value at 64 bins), about 15%
// missing; missing values carry gradients of their own, so that their side matters. The
// target is linear in columns 0 and 1, or with `step` a step in column 0, which a single
// column splits best.
GridData grid_data(uint32_t seed, int32_t rows, int32_t cols, bool step) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> grid(-6, 6), hundred(0, 99);
    std::normal_distribution<double> normal;
    GridData d;
    d.rows = rows;
    d.cols = cols;
    for (int32_t r = 0; r < rows; ++r) {
        double t = 0.0;
        for (int32_t c = 0; c < cols; ++c) {
            const bool missing = hundred(gen) < 15;
            const double v = grid(gen) / 6.0;
            d.x.push_back(missing ? kNaN : v);
            const double seen = missing ? -0.8 : v;
            if (c == 0) t += seen;
            if (c == 1) t -= 0.5 * seen;
        }
        if (step) {
            const double a = d.x[d.x.size() - cols];
            t = a > 0.1 ? 1.0 : -1.0;
        }
        d.grad.push_back(-t + 0.3 * normal(gen));
        d.hess.push_back(0.5 + 0.05 * (r % 7));
    }
    return d;
}

double gain_of(double gl, double hl, double G, double H, double lambda) {
    if (!(hl > kTiny) || !(H - hl > kTiny)) return 0.0;
    return cut_gain(gl, hl, G, H, lambda, G * G / (H + lambda));
}

// The best gain of an axis split by enumeration: for every column, every cut between two
// neighbouring distinct values with the missing rows on the right (and, with
// `both_sides`, on the left), and every value on the left against the missing rows.
double brute_axis_gain(const GridData& d, double lambda, bool both_sides) {
    double G = 0.0, H = 0.0;
    for (int32_t r = 0; r < d.rows; ++r) {
        G += d.grad[r];
        H += d.hess[r];
    }
    double best = 0.0;
    for (int32_t c = 0; c < d.cols; ++c) {
        std::vector<double> values;
        double gm = 0.0, hm = 0.0;
        for (int32_t r = 0; r < d.rows; ++r) {
            const double v = d.view().at(r, c);
            if (std::isnan(v)) {
                gm += d.grad[r];
                hm += d.hess[r];
            } else {
                values.push_back(v);
            }
        }
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
        for (size_t i = 0; i < values.size(); ++i) {
            double gl = 0.0, hl = 0.0;
            for (int32_t r = 0; r < d.rows; ++r) {
                const double v = d.view().at(r, c);
                if (!std::isnan(v) && v <= values[i]) {
                    gl += d.grad[r];
                    hl += d.hess[r];
                }
            }
            best = std::max(best, gain_of(gl, hl, G, H, lambda));
            const bool last = i + 1 == values.size();
            if (both_sides && !last) best = std::max(best, gain_of(gl + gm, hl + hm, G, H, lambda));
        }
    }
    return best;
}

Booster lever_booster(const GridData& d, int32_t split_mode, bool best_of_kinds,
                      bool learn_missing) {
    Booster b = default_booster();
    b.params.split_mode = static_cast<SplitMode>(split_mode);
    b.params.max_depth = 1;
    b.params.best_of_kinds = best_of_kinds;
    b.params.learn_missing = learn_missing;
    ready_to_grow(b, d.cols);
    return b;
}

Node grown_root(Booster& b, const GridData& d) {
    return grow_from_all_rows(b, d.view(), d.grad.data(), d.hess.data())[0];
}

double tolerance(double gain) { return 1e-9 * (1.0 + std::fabs(gain)); }

}  // namespace

TEST(SplitLevers, AxisSplitsTakeTheBestCutOnEitherMissingSide) {
    bool learned_left = false;
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u}) {
        const GridData d = grid_data(seed, 700, 4, false);
        for (bool learn : {false, true}) {
            Booster b = lever_booster(d, 1, false, learn);
            const Node root = grown_root(b, d);
            ASSERT_FALSE(root.is_leaf);
            const double best = brute_axis_gain(d, b.params.reg_lambda, learn);
            EXPECT_NEAR(root.gain, best, tolerance(best)) << "seed " << seed << " learn " << learn;
            if (!learn) {
                EXPECT_EQ(root.missing_right, 1);
            }
            learned_left = learned_left || root.missing_right == 0;
        }
    }
    EXPECT_TRUE(learned_left);  // the data makes the left side win somewhere
}

TEST(SplitLevers, PlacedCutsTakeTheBestCellOnEitherMissingSide) {
    std::mt19937 gen(21);
    std::uniform_int_distribution<int> grid(0, 30), hundred(0, 99);
    std::vector<double> cells;
    std::vector<std::pair<int32_t, int32_t>> order;
    int32_t left_wins = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const int32_t n = 40 + trial * 5;
        std::vector<double> z(n), grad(n), hess(n);
        double G = 0.0, H = 0.0;
        for (int32_t k = 0; k < n; ++k) {
            z[k] = hundred(gen) < 20 ? kNaN : 0.1 * grid(gen);
            grad[k] = std::isnan(z[k]) ? 0.9 * (trial % 3 - 1) : std::sin(3.0 * z[k]);
            hess[k] = 0.5 + 0.1 * (k % 5);
            G += grad[k];
            H += hess[k];
        }
        const NodeGradients node{grad.data(), hess.data(), n, G, H};
        double lo = kInf, hi = -kInf;
        for (double v : z) {
            if (!std::isnan(v)) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
        // Few cells (dense histogram) and far more cells than rows (rows ordered by cell).
        for (const int32_t bins : {3 + trial % 11, 2 * n + 7}) {
            const double step = (hi - lo) / bins;
            const ProjectedGrid cut_grid{lo, step, bins};
            double gm = 0.0, hm = 0.0;
            for (int32_t k = 0; k < n; ++k) {
                if (std::isnan(z[k])) {
                    gm += grad[k];
                    hm += hess[k];
                }
            }
            double best_right = 0.0, best_any = 0.0;
            for (int32_t cut = 0; cut + 1 < bins; ++cut) {
                double gl = 0.0, hl = 0.0;
                for (int32_t k = 0; k < n; ++k) {
                    if (!std::isnan(z[k]) && clamp_bin((z[k] - lo) / step, bins) <= cut) {
                        gl += grad[k];
                        hl += hess[k];
                    }
                }
                best_right = std::max(best_right, gain_of(gl, hl, G, H, 0.5));
                best_any = std::max(
                    {best_any, gain_of(gl, hl, G, H, 0.5), gain_of(gl + gm, hl + hm, G, H, 0.5)});
            }
            const ProjectedCut plain =
                placed_projection_cut(z.data(), node, 0.5, cut_grid, cells, order);
            EXPECT_NEAR(plain.gain, best_right, tolerance(best_right));
            EXPECT_FALSE(plain.missing_left);
            const ProjectedCut learned =
                placed_projection_cut(z.data(), node, 0.5, cut_grid, cells, order, true);
            EXPECT_NEAR(learned.gain, best_any, tolerance(best_any)) << trial << " " << bins;
            // The partition the cut makes, with the missing rows where it sends them, has
            // that gain.
            double gl = learned.missing_left ? gm : 0.0, hl = learned.missing_left ? hm : 0.0;
            for (int32_t k = 0; k < n; ++k) {
                if (z[k] < learned.threshold) {
                    gl += grad[k];
                    hl += hess[k];
                }
            }
            EXPECT_NEAR(gain_of(gl, hl, G, H, 0.5), learned.gain, tolerance(learned.gain));
            left_wins += learned.missing_left ? 1 : 0;
        }
    }
    EXPECT_GT(left_wins, 5);
}

TEST(SplitLevers, BestOfKindsTakesTheBetterOfPairAndAxis) {
    bool axis_won = false;
    for (uint32_t seed : {7u, 8u, 9u}) {
        for (bool step : {false, true}) {
            const GridData d = grid_data(seed, 900, 5, step);
            Booster pairs_first = lever_booster(d, 0, false, false);
            const Node plain = grown_root(pairs_first, d);
            Booster both = lever_booster(d, 0, true, false);
            const Node root = grown_root(both, d);
            const double axis = brute_axis_gain(d, both.params.reg_lambda, false);
            // Without the lever the root is a pair split whenever one gains.
            const double pair = plain.kind == kAxis ? 0.0 : plain.gain;
            const double best = std::max(axis, pair);
            EXPECT_NEAR(root.gain, best, tolerance(best)) << "seed " << seed << " step " << step;
            EXPECT_EQ(root.kind == kAxis, axis > pair);
            axis_won = axis_won || (root.kind == kAxis && plain.kind != kAxis);
        }
    }
    EXPECT_TRUE(axis_won);
}

TEST(SplitLevers, LineageBestOfKindsScoresEveryColumnOnItsOwn) {
    for (uint32_t seed : {11u, 12u}) {
        const GridData d = grid_data(seed, 800, 4, true);
        std::vector<int32_t> rows(d.rows);
        std::iota(rows.begin(), rows.end(), 0);
        double gains[2];
        for (bool lever : {false, true}) {
            Booster b = lever_booster(d, 0, lever, false);
            b.params.max_lineage = 1;
            Tree tree;
            grow_lineage_tree(tree, d.view(), d.grad.data(), d.hess.data(), rows,
                              tree_params_of(b, std::vector<double>(d.cols, 0.5)), b.rng,
                              outputs_of(b));
            gains[lever] = tree[0].is_leaf ? 0.0 : tree[0].gain;
        }
        // Each column alone, on the equal-width cells of its own range.
        double G = 0.0, H = 0.0;
        for (int32_t r = 0; r < d.rows; ++r) {
            G += d.grad[r];
            H += d.hess[r];
        }
        double single = 0.0;
        const int32_t bins = 64;
        for (int32_t c = 0; c < d.cols; ++c) {
            double lo = kInf, hi = -kInf;
            for (int32_t r = 0; r < d.rows; ++r) {
                const double v = d.view().at(r, c);
                if (!std::isnan(v)) {
                    lo = std::min(lo, v);
                    hi = std::max(hi, v);
                }
            }
            for (int32_t cut = 0; cut + 1 < bins; ++cut) {
                double gl = 0.0, hl = 0.0;
                for (int32_t r = 0; r < d.rows; ++r) {
                    const double v = d.view().at(r, c);
                    if (!std::isnan(v) && clamp_bin((v - lo) / ((hi - lo) / bins), bins) <= cut) {
                        gl += d.grad[r];
                        hl += d.hess[r];
                    }
                }
                single = std::max(single, gain_of(gl, hl, G, H, 1.0));
            }
        }
        EXPECT_GE(gains[1], single - tolerance(single)) << "seed " << seed;
        EXPECT_GE(gains[1], gains[0] - tolerance(gains[0])) << "seed " << seed;
        EXPECT_GT(single, gains[0]) << "seed " << seed << ": the data should favour one column";
    }
}
