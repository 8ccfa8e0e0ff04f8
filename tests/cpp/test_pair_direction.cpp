#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "tree/pair_screening.hpp"
#include "tree/pair_solver.hpp"
#include "tree/pair_sums.hpp"
#include "tree/screen_block.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct PairFixture {
    std::vector<int32_t> categorical, monotone;
    std::vector<double> scale;
    PairConfig config(double lambda) const {
        return PairConfig{lambda, &categorical, &monotone, &scale};
    }
};

// Solves a dense system by Gaussian elimination with partial pivoting.
std::vector<double> solve(std::vector<std::vector<double>> a, std::vector<double> b) {
    const size_t n = b.size();
    for (size_t c = 0; c < n; ++c) {
        size_t p = c;
        for (size_t r = c + 1; r < n; ++r) {
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        }
        std::swap(a[p], a[c]);
        std::swap(b[p], b[c]);
        for (size_t r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (size_t k = c; k < n; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> x(n);
    for (size_t i = n; i-- > 0;) {
        double s = b[i];
        for (size_t k = i + 1; k < n; ++k) s -= a[i][k] * x[k];
        x[i] = s / a[i][i];
    }
    return x;
}

PairSums sums_of(const std::vector<double>& xa, const std::vector<double>& xb,
                 const std::vector<double>& g, const std::vector<double>& h) {
    PairSums s;
    for (size_t k = 0; k < g.size(); ++k) {
        s.H += h[k];
        s.S_a += h[k] * xa[k];
        s.S_b += h[k] * xb[k];
        s.S_aa += h[k] * xa[k] * xa[k];
        s.S_ab += h[k] * xa[k] * xb[k];
        s.S_bb += h[k] * xb[k] * xb[k];
        s.T_a -= g[k] * xa[k];
        s.T_b -= g[k] * xb[k];
        s.T0 -= g[k];
    }
    return s;
}

}  // namespace

TEST(PairRidge, MatchesDenseSolveOfTheStandardisedSystem) {
    std::mt19937 gen(21);
    std::normal_distribution<double> u(0.0, 1.0);
    PairFixture fx{{}, {}, {2.0, 0.5}};
    for (int trial = 0; trial < 20; ++trial) {
        std::vector<double> xa, xb, g, h;
        for (int k = 0; k < 50; ++k) {
            xa.push_back(2.0 * u(gen));
            xb.push_back(0.5 * u(gen) + 0.3 * xa.back());
            g.push_back(u(gen));
            h.push_back(0.2 + std::fabs(u(gen)));
        }
        const PairSums s = sums_of(xa, xb, g, h);
        const PairDirection d = solve_pair_ridge(s, fx.config(0.7), 0, 1);
        // Reference: centred, standardised normal equations with ridge 0.7.
        const double aa = (s.S_aa - s.S_a * s.S_a / s.H) / 4.0 + 0.7;
        const double bb = (s.S_bb - s.S_b * s.S_b / s.H) / 0.25 + 0.7;
        const double ab = (s.S_ab - s.S_a * s.S_b / s.H) / 1.0;
        const double ca = (s.H * s.T_a - s.S_a * s.T0) / 2.0;
        const double cb = (s.H * s.T_b - s.S_b * s.T0) / 0.5;
        const std::vector<double> beta = solve({{aa, ab}, {ab, bb}}, {ca, cb});
        const double wa = beta[0] / 2.0, wb = beta[1] / 0.5;
        const double norm = std::hypot(wa, wb);
        EXPECT_NEAR(d.coef_a, wa / norm, 1e-12);
        EXPECT_NEAR(d.coef_b, wb / norm, 1e-12);
        EXPECT_NEAR(d.prescore, beta[0] * ca + beta[1] * cb, 1e-9 * std::fabs(d.prescore) + 1e-12);
        EXPECT_NEAR(std::hypot(d.coef_a, d.coef_b), 1.0, 1e-12);
        EXPECT_EQ(d.cross_moment, s.S_ab);
    }
}

TEST(PairRidge, IdenticalColumnsAndTinyHessians) {
    std::vector<double> x{1, 2, 3, 4, 5}, g{-1, -1, 0, 1, 1}, h{1, 1, 1, 1, 1};
    PairFixture fx{{}, {}, {1.4, 1.4}};
    const PairSums s = sums_of(x, x, g, h);
    EXPECT_EQ(solve_pair_ridge(s, fx.config(0.0), 0, 1).prescore, -1.0);  // singular
    const PairDirection d = solve_pair_ridge(s, fx.config(1.0), 0, 1);
    EXPECT_NEAR(d.coef_a, d.coef_b, 1e-15);
    EXPECT_NEAR(std::fabs(d.coef_a), 1.0 / std::sqrt(2.0), 1e-15);
    PairSums empty;
    empty.H = 1e-13;
    EXPECT_EQ(solve_pair_ridge(empty, fx.config(1.0), 0, 1).prescore, -1.0);
}

TEST(PairRidge, MonotoneAgreement) {
    // A target rising in a and falling in b: the unconstrained direction has opposite signs.
    std::mt19937 gen(2);
    std::normal_distribution<double> u(0.0, 1.0);
    std::vector<double> xa, xb, g, h;
    for (int k = 0; k < 200; ++k) {
        xa.push_back(u(gen));
        xb.push_back(u(gen));
        g.push_back(-(xa.back() - xb.back()));
        h.push_back(1.0);
    }
    const PairSums s = sums_of(xa, xb, g, h);
    PairFixture both_up{{}, {1, 1}, {1.0, 1.0}};
    PairFixture opposite{{}, {1, -1}, {1.0, 1.0}};
    PairFixture one{{}, {1, 0}, {1.0, 1.0}};
    const PairDirection free = solve_pair_ridge(s, PairFixture{{}, {}, {1, 1}}.config(1.0), 0, 1);
    ASSERT_GE(free.prescore, 0.0);
    ASSERT_LT(free.coef_a * free.coef_b, 0.0);  // opposite signs
    EXPECT_EQ(solve_pair_ridge(s, both_up.config(1.0), 0, 1).prescore, -1.0);
    EXPECT_GE(solve_pair_ridge(s, opposite.config(1.0), 0, 1).prescore, 0.0);
    EXPECT_GE(solve_pair_ridge(s, one.config(1.0), 0, 1).prescore, 0.0);
}

TEST(CategorySlope, MatchesTheJointRidgeSystem) {
    std::mt19937 gen(8);
    std::normal_distribution<double> u(0.0, 1.0);
    const int n = 120, K = 4;
    std::vector<float> cat(n), num(n);
    std::vector<double> g(n), h(n);
    for (int k = 0; k < n; ++k) {
        cat[k] = static_cast<float>(k % 6 == 5 ? -1 : k % K);  // negative codes are ignored
        num[k] = static_cast<float>(u(gen));
        g[k] = u(gen) + 0.5 * (k % K);
        h[k] = 0.5 + 0.1 * (k % 3);
    }
    PairFixture fx{{1, 0}, {}, {1.0, 1.0}};
    const double lambda = 0.8;
    FeatureColumn c{0, cat.data(), true}, x{1, num.data(), true};
    const NodeGradients node{g.data(), h.data(), n, 0, 0};
    std::vector<double> offsets(kMaxPairCategories);
    const PairDirection d = solve_category_slope(c, x, node, fx.config(lambda), K, offsets.data());
    ASSERT_GE(d.n_offsets, K);
    // (lambda + n_q) o_q + s_q F = r_q;  sum_q s_q o_q + (S + lambda) F = T
    std::vector<std::vector<double>> a(K + 1, std::vector<double>(K + 1, 0.0));
    std::vector<double> rhs(K + 1, 0.0);
    for (int k = 0; k < n; ++k) {
        if (cat[k] < 0) continue;
        const int q = static_cast<int>(cat[k]);
        const double xv = num[k];
        a[q][q] += h[k];
        a[q][K] += h[k] * xv;
        a[K][q] += h[k] * xv;
        a[K][K] += h[k] * xv * xv;
        rhs[q] -= g[k];
        rhs[K] -= g[k] * xv;
    }
    for (int i = 0; i <= K; ++i) a[i][i] += lambda;
    const std::vector<double> sol = solve(a, rhs);
    double norm = 0;
    for (double v : sol) norm += v * v;
    norm = std::sqrt(norm);
    for (int q = 0; q < K; ++q) EXPECT_NEAR(offsets[q], sol[q] / norm, 1e-12);
    EXPECT_NEAR(d.coef_b, sol[K] / norm, 1e-12);
    EXPECT_EQ(d.coef_a, 1.0);
}

TEST(PairDirection, CategoricalDispatchByLargestCode) {
    const int n = 40;
    std::vector<float> small(n), large(n), negative(n), num(n);
    std::vector<double> g(n), h(n, 1.0);
    for (int k = 0; k < n; ++k) {
        small[k] = static_cast<float>(k % 3);
        large[k] = static_cast<float>(k % 40);  // largest code 39: paired as numeric
        negative[k] = -1.0f - static_cast<float>(k % 2);
        num[k] = static_cast<float>(k) / n;
        g[k] = (k % 3) - 1.0;
    }
    PairFixture fx{{1, 1, 1, 0}, {}, {1, 1, 1, 1}};
    const NodeGradients node{g.data(), h.data(), n, 0, n};
    FeatureMoments none;
    std::vector<double> offsets(kMaxPairCategories);
    std::vector<float> hf(h.begin(), h.end());
    auto direction = [&](std::vector<float>& cat) {
        FeatureColumn c{0, cat.data(), true}, x{3, num.data(), true};
        return pair_direction(c, x, node, hf.data(), fx.config(1.0), true, n, 0, none, none,
                              offsets.data());
    };
    EXPECT_EQ(direction(small).n_offsets, 3);
    EXPECT_EQ(direction(large).n_offsets, 0);
    EXPECT_EQ(direction(negative).n_offsets, 0);
}

TEST(Screening, MatchesProductRegressionScore) {
    std::mt19937 gen(4);
    std::normal_distribution<double> u(0.0, 1.0);
    const int n = 64;
    std::vector<float> xa(n), xb(n);
    std::vector<double> g(n), h(n);
    for (int k = 0; k < n; ++k) {
        xa[k] = static_cast<float>(u(gen));
        xb[k] = static_cast<float>(u(gen));
        g[k] = -xa[k] * xb[k] + 0.1 * u(gen);
        h[k] = 1.0;
    }
    xa[3] = NAN;
    PairFixture fx{{}, {}, {2.0, 0.5}};
    FeatureColumn a{0, xa.data(), true}, b{1, xb.data(), true};
    const NodeGradients node{g.data(), h.data(), n, 0, 0};
    const double got = screen_pair(a, b, node, fx.config(1.0));
    // The scalar reference, in the same order of operations: the vector kernel (whatever
    // instruction set the machine picked) must agree to the bit.
    double hz = 0, rz = 0, sz = 0, szz = 0, rzz = 0;
    const double inv = 1.0 / (0.5 * 2.0);
    for (int k = 0; k < n; ++k) {
        if (k == 3) continue;
        const double z = double(xb[k]) * double(xa[k]) * inv;
        const double r = -g[k];
        hz += h[k];
        rz += r;
        sz += h[k] * z;
        szz += h[k] * z * z;
        rzz += r * z;
    }
    const double mean = sz / hz;
    const double num = rzz - mean * rz;
    const double expected = num * num / (szz - mean * hz * mean + 1.0);
    EXPECT_EQ(got, expected);
    EXPECT_GT(got, 10.0);  // the product explains the gradients
    // Groups of up to four pairs give each pair the score it gets alone.
    std::vector<float> xc(n), xd(n);
    for (int k = 0; k < n; ++k) {
        xc[k] = static_cast<float>(u(gen));
        xd[k] = k % 5 == 0 ? NAN : static_cast<float>(u(gen));
    }
    FeatureColumn c{2, xc.data(), true}, d{3, xd.data(), true};
    fx.scale = {2.0, 0.5, 1.5, 0.7};
    const FeatureColumn* lanes[kScreenLanes] = {&b, &c, &d, &b, &d, &c, &c, &b};
    for (int count = 1; count <= kScreenLanes; ++count) {
        double scores[kScreenLanes];
        screen_pairs(a, lanes, count, node, fx.config(1.0), scores);
        for (int j = 0; j < count; ++j) {
            EXPECT_EQ(scores[j], screen_pair(a, *lanes[j], node, fx.config(1.0)));
        }
    }
    // Columns without missing values: the node's own totals stand in for the per-pair ones.
    std::vector<float> xe(n);
    for (int k = 0; k < n; ++k) xe[k] = static_cast<float>(u(gen));
    FeatureColumn full_a{0, xc.data(), true}, e{4, xe.data(), true};
    fx.scale.push_back(0.9);
    const FeatureColumn* complete_columns[3] = {&full_a, &e, &b};
    const double complete_inv[kScreenLanes] = {1.0 / (0.9 * 2.0), 1.0 / (0.5 * 2.0), 1, 1, 1, 1, 1, 1};
    // Two blocks with the columns side by side, then padding read by the unused lanes.
    const int64_t stride = 3 + kScreenLanes;
    std::vector<double> rows(n * stride);
    ScreenSums complete;
    screen_block_complete(fill_screen_block(complete_columns, 3, 0, 30, stride, rows.data()), 0, 1,
                          complete_inv, node, complete);
    screen_block_complete(fill_screen_block(complete_columns, 3, 30, n - 30, stride, rows.data()),
                          0, 1, complete_inv, node, complete);
    double hs = 0.0, r0 = 0.0;
    for (int k = 0; k < n; ++k) {
        hs += h[k];
        r0 -= g[k];
    }
    for (int j = 0; j < 2; ++j) {
        complete.hz[j] = hs;
        complete.rz[j] = r0;
        EXPECT_EQ(screen_result(complete, j, 1.0),
                  screen_pair(full_a, *complete_columns[1 + j], node, fx.config(1.0)));
    }
    // Rows added in several blocks give the sums of one pass.
    // Missing values in a and d: the masked kernel, over three blocks of rows.
    const FeatureColumn* masked_columns[4] = {&a, &b, &c, &d};
    const double masked_inv[kScreenLanes] = {1.0 / (0.5 * 2.0), 1.0 / (1.5 * 2.0),
                                             1.0 / (0.7 * 2.0), 1, 1, 1, 1, 1};
    const int64_t masked_stride = 4 + kScreenLanes;
    std::vector<double> masked_rows(n * masked_stride);
    ScreenSums blocked;
    for (const auto& [k0, k1] : {std::pair{0, 17}, std::pair{17, 18}, std::pair{18, n}}) {
        screen_block(fill_screen_block(masked_columns, 4, k0, k1 - k0, masked_stride,
                                       masked_rows.data()),
                     0, 1, masked_inv, node, blocked);
    }
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(screen_result(blocked, j, 1.0),
                  screen_pair(a, *masked_columns[1 + j], node, fx.config(1.0)));
    }
}

// Columns of single-precision values and the row blocks the lane kernels read.
struct ColumnBlocks {
    std::vector<FeatureColumn> cols;
    std::vector<const FeatureColumn*> order;

    explicit ColumnBlocks(std::vector<std::vector<float>>& x) {
        for (size_t c = 0; c < x.size(); ++c) {
            cols.push_back(FeatureColumn{static_cast<int32_t>(c), x[c].data(), true});
        }
        for (const FeatureColumn& c : cols) order.push_back(&c);
    }
    // Calls f with the blocks of `rows` node rows that cover n rows, in order.
    template <class F>
    void each(int n, int rows, F f) const {
        const int n_cols = static_cast<int>(cols.size());
        const int64_t stride = n_cols + kScreenLanes;
        std::vector<double> buffer(static_cast<size_t>(rows) * stride);
        for (int k0 = 0; k0 < n; k0 += rows) {
            f(fill_screen_block(order.data(), n_cols, k0, std::min(rows, n - k0), stride,
                                buffer.data()));
        }
    }
};

TEST(PairDirection, LaneSumsOfMissingAwarePairsEqualTheirOwnPass) {
    // Column 0 against columns 1 ... 4, with NaN in every column, over blocks of rows: each
    // lane's sums give the direction the pair's own pass gives, bit for bit.
    std::mt19937 gen(12);
    std::normal_distribution<double> u(0.0, 1.0);
    const int n = 700, n_cols = 5;
    std::vector<std::vector<float>> x(n_cols, std::vector<float>(n));
    std::vector<double> g(n), h(n);
    for (int k = 0; k < n; ++k) {
        for (int c = 0; c < n_cols; ++c) {
            x[c][k] = (k * (c + 3)) % 23 == 0 ? NAN : static_cast<float>(u(gen));
        }
        g[k] = -x[0][k] * 0.5 + x[2][k] + 0.1 * u(gen);
        if (std::isnan(g[k])) g[k] = 0.3;
        h[k] = 0.5 + 0.25 * std::fabs(u(gen));
    }
    const ColumnBlocks blocks(x);
    const std::vector<FeatureColumn>& cols = blocks.cols;
    PairFixture fx{{}, {}, {1.0, 2.0, 0.5, 1.5, 0.8}};
    const NodeGradients node{g.data(), h.data(), n, 0, 0};
    PairSumLanes lanes;
    blocks.each(n, 256, [&](const ScreenBlock& block) { pair_sums_block(block, 0, 1, node, lanes); });
    std::vector<float> h32(h.begin(), h.end());
    const FeatureMoments none;
    double offsets[kMaxPairCategories];
    for (int j = 0; j < kPairSumLanes; ++j) {
        const PairSums sums = lanes.lane(j);
        const PairDirection own = pair_direction(cols[0], cols[1 + j], node, h32.data(),
                                                 fx.config(1.0), true, 0, 0, none, none, offsets);
        const PairDirection given =
            pair_direction(cols[0], cols[1 + j], node, h32.data(), fx.config(1.0), true, 0, 0, none,
                           none, offsets, nullptr, &sums);
        ASSERT_GE(own.prescore, 0.0);
        EXPECT_EQ(given.prescore, own.prescore);
        EXPECT_EQ(given.coef_a, own.coef_a);
        EXPECT_EQ(given.coef_b, own.coef_b);
        EXPECT_EQ(given.cross_moment, own.cross_moment);
    }
}

TEST(CategorySlope, LaneSumsEqualEachPairsOwnPass) {
    // Column 0 categorical (codes -1 ... 6, some NaN), columns 1 ... 4 numeric with NaN: each
    // lane's sums, over blocks of rows, give the fit the pair's own pass gives, bit for bit.
    std::mt19937 gen(21);
    std::normal_distribution<double> u(0.0, 1.0);
    const int n = 900, n_cols = 5, top = 5;
    std::vector<std::vector<float>> x(n_cols, std::vector<float>(n));
    std::vector<double> g(n), h(n);
    for (int k = 0; k < n; ++k) {
        x[0][k] = k % 31 == 0 ? NAN : static_cast<float>(static_cast<int>(gen() % 8) - 1);
        for (int c = 1; c < n_cols; ++c) {
            x[c][k] = (k * c) % 17 == 3 ? NAN : static_cast<float>(u(gen));
        }
        g[k] = 0.4 * u(gen) - (x[0][k] == 2.0f ? 1.0 : 0.0);
        h[k] = 0.5 + 0.25 * std::fabs(u(gen));
    }
    const ColumnBlocks blocks(x);
    const std::vector<FeatureColumn>& cols = blocks.cols;
    PairFixture fx{{1, 0, 0, 0, 0}, {}, {}};
    const NodeGradients node{g.data(), h.data(), n, 0, 0};
    CategoryLanes lanes;
    blocks.each(n, 300, [&](const ScreenBlock& block) {
        category_sums_block(block, 0, 1, top + 1, node, lanes);
    });
    double own_offsets[kMaxPairCategories], lane_offsets[kMaxPairCategories];
    for (int j = 0; j < kCategoryLanes; ++j) {
        const PairDirection own =
            solve_category_slope(cols[0], cols[1 + j], node, fx.config(1.0), top + 1, own_offsets);
        const PairDirection lane =
            solve_category_sums(lanes.lane(j, top), fx.config(1.0), top + 1, lane_offsets);
        ASSERT_GE(own.prescore, -0.5);
        EXPECT_EQ(lane.prescore, own.prescore);
        EXPECT_EQ(lane.coef_b, own.coef_b);
        ASSERT_EQ(lane.n_offsets, top + 1);
        for (int q = 0; q <= top; ++q) EXPECT_EQ(lane_offsets[q], own_offsets[q]);
    }
    EXPECT_EQ(largest_code(cols[0], n), 6);
}

TEST(CrossMoment, EightLanesInAFixedOrder) {
    std::mt19937 gen(6);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int n : {0, 1, 7, 8, 9, 1000}) {
        std::vector<float> a(n), b(n), h(n);
        for (int k = 0; k < n; ++k) {
            a[k] = u(gen);
            b[k] = u(gen);
            h[k] = u(gen);
        }
        float lane[8] = {};
        for (int k = 0; k < n; ++k) lane[k % 8] += a[k] * h[k] * b[k];
        float expected = 0.0f;
        for (float v : lane) expected += v;
        EXPECT_EQ(cross_moment_f32(a.data(), b.data(), h.data(), n), expected);
        float blocked[kCrossLanes] = {};
        const int split = (n / 2) / kCrossLanes * kCrossLanes;
        cross_moment_lanes(a.data(), b.data(), h.data(), 0, split, blocked);
        cross_moment_lanes(a.data(), b.data(), h.data(), split, n, blocked);
        EXPECT_EQ(cross_moment_total(blocked), expected);
        // Four pairs sharing column a, in the same two blocks: each pair's lanes as alone.
        std::vector<float> others(3 * static_cast<size_t>(n));
        for (float& v : others) v = u(gen);
        const float* xb[kCrossShared] = {b.data(), others.data(), others.data() + n,
                                         others.data() + 2 * n};
        float shared[kCrossShared][kCrossLanes] = {};
        float* lanes[kCrossShared] = {shared[0], shared[1], shared[2], shared[3]};
        cross_moment_lanes_shared(a.data(), xb, h.data(), 0, split, lanes);
        cross_moment_lanes_shared(a.data(), xb, h.data(), split, n, lanes);
        for (int j = 0; j < kCrossShared; ++j) {
            EXPECT_EQ(cross_moment_total(shared[j]), cross_moment_f32(a.data(), xb[j], h.data(), n));
        }
    }
}

TEST(CrossMoment, CloseToDoublePrecisionSum) {
    std::mt19937 gen(6);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int n : {0, 1, 7, 8, 9, 1000}) {
        std::vector<float> a(n), b(n), h(n);
        double ref = 0.0;
        for (int k = 0; k < n; ++k) {
            a[k] = u(gen);
            b[k] = u(gen);
            h[k] = 0.5f + 0.5f * u(gen);
            ref += double(a[k]) * h[k] * b[k];
        }
        EXPECT_NEAR(cross_moment_f32(a.data(), b.data(), h.data(), n), ref, 1e-4 + 1e-5 * n);
    }
}
