// The decisions both builder families share (src/decide): the same statistics, given as the
// row-by-row builders' doubles and as the level-wise builders' fixed-point grid, reach the
// same decision, and the decision keeps the invariant it exists for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "decide/cut_scan.hpp"
#include "decide/monotone.hpp"
#include "decide/newton.hpp"
#include "decide/output_pair.hpp"
#include "decide/ranking.hpp"
#include "decide/ridge.hpp"
#include "decide/screening.hpp"
#include "exact/cut_decision.hpp"
#include "exact/oblique_decision.hpp"
#include "exact/screening_decision.hpp"
#include "tree/lineage_direction.hpp"
#include "tree/pair_solver.hpp"

namespace vorlent {
namespace {

// A gradient or hessian term with few bits, so that double sums of a few hundred of them are
// exact and equal the grid's integer sums converted back.
double dyadic(std::mt19937& gen, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(gen) / 64.0;
}

RoundGrids grids_for(double grad_bound, double hess_bound) {
    return RoundGrids{FixedGrid::for_bound(grad_bound), FixedGrid::for_bound(hess_bound)};
}

TEST(Decisions, MonotoneDirectionOfATestAndOfItsDirectionVectorAgree) {
    // The histogram and level builders read a split's direction off its test, the lineage
    // builders off its direction vector: one split, one answer.
    std::mt19937 gen(11);
    const int32_t cols = 5;
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<int32_t> monotone(cols);
        for (int32_t& m : monotone) m = static_cast<int32_t>(gen() % 5) - 2;
        Node test;
        test.kind = static_cast<int32_t>(1 + gen() % 3);
        test.feature_a = static_cast<int32_t>(gen() % cols);
        test.feature_b = (test.feature_a + 1 + static_cast<int32_t>(gen() % (cols - 1))) % cols;
        std::uniform_real_distribution<> coef(-1.0, 1.0);
        test.coef_a = test.kind == kCategoryPair ? 1.0 : coef(gen);
        test.coef_b = coef(gen);
        // A categorical column is never constrained; its codes take no coefficient.
        if (test.kind == kCategoryPair) monotone[test.feature_a] = 0;
        std::vector<double> d(cols, 0.0);
        if (test.kind == kAxis) {
            d[test.feature_a] = 1.0;
        } else {
            d[test.feature_a] = test.kind == kCategoryPair ? 0.0 : test.coef_a;
            d[test.feature_b] = test.coef_b;
        }
        const int32_t sign = monotone_sign(monotone, d);
        if (sign == kMixedSigns) continue;  // the pair solvers refuse such a direction
        EXPECT_EQ(split_constraint(test, monotone), sign) << "trial " << trial;
    }
    Node axis;
    axis.kind = kAxis;
    axis.feature_a = 0;
    EXPECT_EQ(split_constraint(axis, {}), 0);
}

// Sums of n random dyadic terms parted at random, as doubles and on the grids.
struct PartedSums {
    double gl = 0.0, hl = 0.0, G = 0.0, H = 0.0;
    NodeTotals left_q, node_q;
    RoundGrids grids;
};

// min_rows + 0..199 rows.
PartedSums parted_sums(std::mt19937& gen, int32_t min_rows) {
    PartedSums p;
    const int32_t n = min_rows + static_cast<int32_t>(gen() % 200);
    p.grids = grids_for(4.0 * (n + 1), 2.0 * (n + 1));
    const RoundGrids& grids = p.grids;
    for (int32_t i = 0; i < n; ++i) {
        const double g = dyadic(gen, -256, 256), h = dyadic(gen, 0, 128);
        const int64_t gq = grids.grad.fixed(g), hq = grids.hess.fixed(h);
        p.G += g;
        p.H += h;
        p.node_q.g += gq;
        p.node_q.h += hq;
        ++p.node_q.count;
        if (gen() % 2 == 0) {
            p.gl += g;
            p.hl += h;
            p.left_q.g += gq;
            p.left_q.h += hq;
            ++p.left_q.count;
        }
    }
    return p;
}

TEST(Decisions, ChildBoundsFromDoublesAndFromTheGridAgreeAndKeepTheChildrenOrdered) {
    std::mt19937 gen(5);
    const double lambda = 0.75;
    for (int trial = 0; trial < 500; ++trial) {
        const PartedSums p = parted_sums(gen, 1);
        const RoundGrids& grids = p.grids;
        const SideSums left{p.gl, p.hl}, right{p.G - p.gl, p.H - p.hl};
        const NodeTotals left_q = p.left_q;
        const NodeTotals right_q{p.node_q.count - p.left_q.count, p.node_q.g - p.left_q.g,
                                 p.node_q.h - p.left_q.h};
        const ValueBounds parent{dyadic(gen, -128, 0), dyadic(gen, 0, 128)};
        for (const int32_t direction : {-1, 0, 1}) {
            const ChildBounds from_doubles = child_bounds(direction, parent, left, right, lambda);
            const ChildBounds from_grid = child_bounds(direction, parent, side_sums(left_q, grids),
                                                       side_sums(right_q, grids), lambda);
            EXPECT_EQ(from_doubles.left.lower, from_grid.left.lower);
            EXPECT_EQ(from_doubles.left.upper, from_grid.left.upper);
            EXPECT_EQ(from_doubles.right.lower, from_grid.right.lower);
            EXPECT_EQ(from_doubles.right.upper, from_grid.right.upper);
            // Whatever values the children's subtrees reach inside their bounds, the side
            // the constraint points to stays above the other, and inside the parent's.
            const ValueBounds& low = direction > 0 ? from_doubles.left : from_doubles.right;
            const ValueBounds& high = direction > 0 ? from_doubles.right : from_doubles.left;
            if (direction != 0) {
                EXPECT_LE(low.upper, high.lower);
            }
            for (const ValueBounds& b : {from_doubles.left, from_doubles.right}) {
                EXPECT_GE(b.lower, parent.lower);
                EXPECT_LE(b.upper, parent.upper);
            }
        }
    }
}

// The second-order loss g * v + (h + lambda) * v^2 / 2 of a side taking value v.
double side_loss(double g, double h, double lambda, double v) {
    return g * v + 0.5 * (h + lambda) * v * v;
}

TEST(Decisions, SplitGainFromDoublesAndFromTheGridAgreeAndIsTheLossSaved) {
    std::mt19937 gen(17);
    const double lambda = 0.625;
    for (int trial = 0; trial < 500; ++trial) {
        const PartedSums p = parted_sums(gen, 2);
        const RoundGrids& grids = p.grids;
        const double parent = parent_term(p.G, p.H, lambda);
        const double from_doubles = cut_gain(p.gl, p.hl, p.G, p.H, lambda, parent);
        const GridCells<NodeTotals, FixedGrid> cells{nullptr, 3, p.node_q, &grids.grad,
                                                     &grids.hess};
        const double grid_parent = parent_term(cells.node_g(), cells.node_h(), lambda);
        EXPECT_EQ(from_doubles, sides_gain(cells.sides(p.left_q), lambda, grid_parent));
        EXPECT_EQ(from_doubles,
                  sides_gain(double_sides(p.gl, p.hl, p.G, p.H), lambda, parent));
        // The gain is twice the loss the two sides save over the node, each at its Newton
        // value.
        const double gr = p.G - p.gl, hr = p.H - p.hl;
        const double saved =
            side_loss(p.G, p.H, lambda, newton_value(p.G, p.H, lambda)) -
            side_loss(p.gl, p.hl, lambda, newton_value(p.gl, p.hl, lambda)) -
            side_loss(gr, hr, lambda, newton_value(gr, hr, lambda));
        EXPECT_NEAR(from_doubles, 2.0 * saved, 1e-9 * (1.0 + std::abs(from_doubles)));
    }
}

TEST(Decisions, LeafValueFromDoublesAndFromTheGridAgreeAndMinimisesTheLossInItsBounds) {
    std::mt19937 gen(23);
    const double lambda = 1.5;
    for (int trial = 0; trial < 500; ++trial) {
        const PartedSums p = parted_sums(gen, 0);
        const RoundGrids& grids = p.grids;
        const double lower = dyadic(gen, -256, 0), upper = dyadic(gen, 0, 256);
        const double value = exact_node_value(p.node_q, grids, lambda, lower, upper);
        if (p.node_q.count > 0) EXPECT_EQ(value, leaf_value(p.G, p.H, lambda, lower, upper));
        // No value inside the bounds has a smaller loss.
        ASSERT_GE(value, lower);
        ASSERT_LE(value, upper);
        const double best = side_loss(p.G, p.H, lambda, value);
        for (int k = 0; k <= 64; ++k) {
            const double v = lower + (upper - lower) * k / 64.0;
            EXPECT_LE(best, side_loss(p.G, p.H, lambda, v) + 1e-9 * (1.0 + std::abs(best)));
        }
    }
}

TEST(Decisions, OutputPairFromDoublesAndFromTheGridBlockAgree) {
    std::mt19937 gen(7);
    for (int trial = 0; trial < 1000; ++trial) {
        const int32_t k = 2 + static_cast<int32_t>(gen() % 5);
        const int32_t n = static_cast<int32_t>(gen() % 6);
        const RoundGrids grids = grids_for(2.0 * (n + 1), 1.0 * (n + 1));
        // Few distinct terms, so that equal sums (and the all-equal start) are common.
        std::vector<double> sums(static_cast<size_t>(k), 0.0);
        std::vector<int64_t> block(1 + 2 * static_cast<size_t>(k), 0);  // kOutputSums layout
        block[0] = n;
        for (int32_t i = 0; i < n; ++i) {
            for (int32_t j = 0; j < k; ++j) {
                const double g = dyadic(gen, -1, 1) * 32.0;
                sums[j] += g;
                block[1 + 2 * j] += grids.grad.fixed(g);
                block[2 + 2 * j] += grids.hess.fixed(0.25);
            }
        }
        const OutputPair from_doubles = output_pair(sums.data(), k);
        const OutputPair from_grid = output_pair(block.data() + 1, k, 2);
        EXPECT_EQ(from_doubles.p, from_grid.p);
        EXPECT_EQ(from_doubles.q, from_grid.q);
        // The reference: the first highest against the first lowest, 0 against 1 when all tie.
        const auto hi = std::max_element(sums.begin(), sums.end()) - sums.begin();
        const auto lo = std::min_element(sums.begin(), sums.end()) - sums.begin();
        EXPECT_EQ(from_doubles.p, hi);
        EXPECT_EQ(from_doubles.q, hi == lo ? 1 : lo);
    }
}

TEST(Decisions, RidgeOfThePairSolverAndOfTheLineageFitGiveOneDirection) {
    // The pair solver works on H times the lineage fit's right-hand side (unit column scales
    // here): its coefficients are H times the lineage fit's, and its prescore H^2 times the
    // lineage fit's explained part.
    std::mt19937 gen(13);
    std::normal_distribution<double> z;
    const std::vector<int32_t> categorical, monotone;
    const std::vector<double> unit_scale{1.0, 1.0};
    for (int trial = 0; trial < 300; ++trial) {
        PairSums s;
        const double lambda = trial % 3 == 0 ? 0.0 : 0.5;
        const double mix = std::uniform_real_distribution<>(-1.0, 1.0)(gen);
        for (int32_t i = 0; i < 50; ++i) {
            const double a = z(gen), b = mix * a + 0.3 * z(gen), h = 0.5 + gen() % 4;
            s.add(a, b, h, 0.7 * a - b + 0.2 * z(gen));
        }
        const PairConfig config{lambda, &categorical, &monotone, &unit_scale};
        const PairDirection d = solve_pair_ridge(s, config, 0, 1);
        double ca = 0.0, cb = 0.0;
        const bool solved = lineage_ridge(s, lambda, ca, cb);
        ASSERT_EQ(solved, d.prescore >= 0.0) << "trial " << trial;
        if (!solved) continue;
        const double norm = std::hypot(ca, cb);
        EXPECT_NEAR(d.coef_a, ca / norm, 1e-9);
        EXPECT_NEAR(d.coef_b, cb / norm, 1e-9);
        const double fit = lineage_ridge_fit(s, ca, cb) * s.H * s.H;
        EXPECT_NEAR(d.prescore, fit, 1e-9 * std::max(1.0, std::fabs(fit)));
    }
    // Singular without a ridge term: identical columns.
    double xa = 0.0, xb = 0.0;
    EXPECT_FALSE(solve_ridge_2x2(2.0, 2.0, 2.0, 1.0, 1.0, xa, xb));
    EXPECT_TRUE(solve_ridge_2x2(3.0, 2.0, 2.0, 1.0, 1.0, xa, xb));
    EXPECT_DOUBLE_EQ(3.0 * xa + 2.0 * xb, 1.0);
    EXPECT_DOUBLE_EQ(2.0 * xa + 2.0 * xb, 1.0);
}

TEST(Decisions, ColumnRankingFromDoublesAndFromTheGridHistogramsAgree) {
    // The histogram builder ranks its columns by their best axis gain on double sums, the
    // level builder (paired_columns) by the same gain on a grid histogram block.
    std::mt19937 gen(17);
    const int32_t cols = 7, rows = 300, keep = 3;
    std::vector<double> x(static_cast<size_t>(rows) * cols);
    for (double& v : x) v = static_cast<double>(gen() % 9);
    const BinnedMatrix bins = build_bins(MatrixView{x.data(), rows, cols}, 16, {});
    const HistogramShape shape = HistogramShape::of(bins);
    const double lambda = 1.0;
    for (int trial = 0; trial < 40; ++trial) {
        const RoundGrids grids = grids_for(4.0 * rows, 2.0 * rows);
        std::vector<int64_t> block(static_cast<size_t>(shape.node_words()), 0);
        std::vector<double> g_cells(static_cast<size_t>(shape.bin_offset.back()), 0.0);
        std::vector<double> h_cells(g_cells.size(), 0.0);
        double G = 0.0, H = 0.0;
        for (int32_t r = 0; r < rows; ++r) {
            // The gradient leans on a column the trial picks, so that the ranking varies.
            const double lean = x[r * cols + trial % cols] > 4.0 ? 1.0 : -1.0;
            const double g = dyadic(gen, -64, 64) + lean, h = dyadic(gen, 16, 64);
            G += g;
            H += h;
            block[0] += 1;
            block[1] += grids.grad.fixed(g);
            block[2] += grids.hess.fixed(h);
            for (int32_t f = 0; f < cols; ++f) {
                const int32_t cell = shape.bin_offset[f] + bins.code(r * cols + f);
                g_cells[cell] += g;
                h_cells[cell] += h;
                int64_t* c = block.data() + kNodeWords + kCellWords * cell;
                c[0] += grids.grad.fixed(g);
                c[1] += grids.hess.fixed(h);
                c[2] += 1;
            }
        }
        std::vector<double> gains(cols, 0.0);
        for (int32_t f = 0; f < cols; ++f) {
            double gl = 0.0, hl = 0.0;
            for (int32_t b = shape.bin_offset[f]; b + 1 < shape.bin_offset[f + 1]; ++b) {
                gl += g_cells[b];
                hl += h_cells[b];
                if (!(hl > kTiny) || !(H - hl > kTiny)) continue;
                gains[f] = std::max(gains[f], cut_gain(gl, hl, G, H, lambda, G * G / (H + lambda)));
            }
        }
        std::vector<int32_t> order, top;
        ASSERT_TRUE(ranks_columns(keep, cols));
        top_positions(gains.data(), cols, keep, order, top);
        std::vector<int32_t> features(cols);
        for (int32_t f = 0; f < cols; ++f) features[f] = f;
        const CutSettings settings{lambda, false, &bins, grids};
        const NodeTotals node{block[0], block[1], block[2]};
        EXPECT_EQ(paired_columns(features, block.data(), shape, node, settings, keep), top)
            << "trial " << trial;
    }
}

TEST(Decisions, CandidatesKeptByScoreDoNotDependOnTheirListOrder) {
    // The exact builders rank candidates listed in proposal order (ranks are positions), the
    // row-by-row search a list it has reordered (ranks are proposal indices): both keep the
    // same candidates, ties and NaN scores included.
    std::mt19937 gen(29);
    std::vector<int32_t> order, by_position, by_rank;
    for (int trial = 0; trial < 300; ++trial) {
        const int32_t n = 1 + static_cast<int32_t>(gen() % 40);
        const int32_t keep = static_cast<int32_t>(gen() % (n + 2));
        std::vector<double> scores(n);
        for (double& x : scores) x = gen() % 9 == 0 ? NAN : static_cast<double>(gen() % 6);
        top_positions(scores.data(), n, keep, order, by_position);
        std::vector<int64_t> ranks(n);
        for (int32_t i = 0; i < n; ++i) ranks[i] = i;
        std::shuffle(ranks.begin(), ranks.end(), gen);
        std::vector<double> listed(n);
        for (int32_t i = 0; i < n; ++i) listed[i] = scores[ranks[i]];
        top_ranked(listed.data(), ranks.data(), n, keep, order, by_rank);
        std::vector<int32_t> kept;
        for (const int32_t at : by_rank) kept.push_back(static_cast<int32_t>(ranks[at]));
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, by_position) << "trial " << trial;
    }
}

TEST(Decisions, ScreeningKeepsTheBestHalfByEitherScore) {
    // A candidate stays when fewer than `half` others rank before it by prescore or by
    // screening score (a higher score, or an equal one proposed earlier).
    std::mt19937 gen(19);
    for (int trial = 0; trial < 300; ++trial) {
        const auto count = static_cast<int32_t>(1 + gen() % 30);
        const size_t keep = gen() % 12;
        std::vector<ObliqueCandidate> candidates(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            candidates[i].prescore = static_cast<double>(gen() % 5);
            candidates[i].screen = static_cast<double>(gen() % 5);
            candidates[i].projection.feature_a = i;  // the candidate's name
        }
        std::vector<int32_t> want;
        const auto half = static_cast<int32_t>(screened_half(keep));
        for (int32_t i = 0; i < count; ++i) {
            int32_t before_pre = 0, before_screen = 0;
            for (int32_t j = 0; j < count; ++j) {
                const ObliqueCandidate &a = candidates[j], &b = candidates[i];
                before_pre += a.prescore > b.prescore || (a.prescore == b.prescore && j < i);
                before_screen += a.screen > b.screen || (a.screen == b.screen && j < i);
            }
            const bool kept_all = keep == 0 || static_cast<size_t>(count) <= keep;
            if (kept_all || before_pre < half || before_screen < half) want.push_back(i);
        }
        keep_screened_candidates(candidates, keep);
        std::vector<int32_t> got;
        for (const ObliqueCandidate& c : candidates) got.push_back(c.projection.feature_a);
        EXPECT_EQ(got, want) << "trial " << trial;
    }
}

}  // namespace
}  // namespace vorlent
