#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>
#include <vector>

#include "booster_fixtures.hpp"
#include "common/numeric.hpp"
#include "tree/bin_histogram.hpp"
#include "tree/column_values.hpp"
#include "tree/pair_evaluation.hpp"
#include "tree/projected_histogram.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct NodeData {
    std::vector<double> grad, hess;
    NodeGradients view() const {
        NodeGradients n{grad.data(), hess.data(), static_cast<int32_t>(grad.size()), 0, 0};
        for (size_t k = 0; k < grad.size(); ++k) {
            n.G += grad[k];
            n.H += hess[k];
        }
        return n;
    }
};

NodeData random_node(std::mt19937& gen, int n) {
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_real_distribution<double> h(0.05, 1.0);
    NodeData d;
    for (int k = 0; k < n; ++k) {
        d.grad.push_back(g(gen));
        d.hess.push_back(h(gen));
    }
    return d;
}

// Every cut of an explicit cell list, scored in order, first best kept.
ProjectedCut naive_scan(const std::vector<double>& gl_cells, const std::vector<double>& hl_cells,
                        const NodeGradients& n, double lambda,
                        const std::vector<double>& thresholds) {
    ProjectedCut best;
    double gl = 0, hl = 0;
    for (size_t i = 0; i + 1 < gl_cells.size(); ++i) {
        gl += gl_cells[i];
        hl += hl_cells[i];
        if (hl <= 1e-12 || n.H - hl <= 1e-12) continue;
        const double gain = gl * gl / (hl + lambda) + (n.G - gl) * (n.G - gl) / (n.H - hl + lambda) -
                            n.G * n.G / (n.H + lambda);
        if (gain > best.gain) best = {true, thresholds[i], gain};
    }
    return best;
}

// Builds one column's bin histogram from its codes (every row of the node, in order) and
// scans it; each bin holds the one value `values` gives it unless `highs` gives its largest.
BinCut cut_of(const std::vector<uint16_t>& codes, const std::vector<double>& values,
              bool has_missing, const NodeGradients& node, double lambda, int32_t feature = 0,
              const std::vector<double>& highs = {}) {
    std::vector<FeatureColumn> cols{FeatureColumn{0, nullptr, false}};
    std::vector<int32_t> rows(codes.size());
    for (size_t k = 0; k < rows.size(); ++k) rows[k] = static_cast<int32_t>(k);
    const int32_t offsets[2] = {0, static_cast<int32_t>(values.size())};
    std::vector<double> cells(2 * values.size());
    build_bin_histograms(cols, 0, 1, offsets, 1, codes.data(), rows.data(), node, cells.data());
    std::vector<int32_t> listed(values.size());
    BinCut cut;
    const AxisBins bins{&values, highs.empty() ? &values : &highs, has_missing};
    const DoubleCells doubles{cells.data(), cells.data() + 1, 2, node.G, node.H};
    best_axis_cut<InfiniteTopCut::kOffered>(feature, doubles, bins, lambda, false, listed.data(),
                                            cut);
    return cut;
}

}  // namespace

TEST(BinHistogram, ManyColumnsReadFromRowMajorCodes) {
    // Three columns with 3, 1 and 4 bins over a row subset; every cell is the plain sum.
    std::mt19937 gen(17);
    const int32_t n_features = 5, n_rows = 40;
    std::vector<uint16_t> codes(n_rows * n_features);
    const int32_t bins_of[5] = {3, 9, 1, 9, 4};
    for (int32_t r = 0; r < n_rows; ++r) {
        for (int32_t f = 0; f < n_features; ++f) codes[r * n_features + f] = gen() % bins_of[f];
    }
    NodeData d = random_node(gen, 25);
    std::vector<int32_t> rows;
    for (int32_t r = 0; r < 25; ++r) rows.push_back((r * 7) % n_rows);
    std::vector<FeatureColumn> cols{{0, nullptr, false}, {2, nullptr, false}, {4, nullptr, false}};
    const int32_t offsets[4] = {0, 3, 4, 8};
    std::vector<double> cells(16, 99.0);
    build_bin_histograms(cols, 0, 3, offsets, n_features, codes.data(), rows.data(), d.view(),
                         cells.data());
    std::vector<double> expected(16, 0.0);
    for (int32_t k = 0; k < 25; ++k) {
        for (int i = 0; i < 3; ++i) {
            const int32_t cell = offsets[i] + codes[rows[k] * n_features + cols[i].feature];
            expected[2 * cell] += d.grad[k];
            expected[2 * cell + 1] += d.hess[k];
        }
    }
    EXPECT_EQ(cells, expected);
}

TEST(BinCut, MatchesNaiveScanOverNonemptyBins) {
    std::mt19937 gen(11);
    for (int trial = 0; trial < 50; ++trial) {
        const int n = 1 + static_cast<int>(gen() % 60);
        const int bins = 2 + static_cast<int>(gen() % 9);
        NodeData d = random_node(gen, n);
        std::vector<uint16_t> codes(n);
        for (auto& c : codes) c = static_cast<uint16_t>(gen() % bins);
        std::vector<double> values(bins);
        for (int b = 0; b < bins; ++b) values[b] = b * 1.5 - 2.0;
        const NodeGradients node = d.view();
        const BinCut cut = cut_of(codes, values, false, node, 0.5, 3);

        std::vector<double> gh(bins, 0), hh(bins, 0);
        for (int k = 0; k < n; ++k) {
            gh[codes[k]] += d.grad[k];
            hh[codes[k]] += d.hess[k];
        }
        std::vector<double> gl, hl, thr;
        std::vector<int> listed;
        for (int b = 0; b < bins; ++b) {
            if (hh[b] > 0) listed.push_back(b);
        }
        for (size_t i = 0; i < listed.size(); ++i) {
            gl.push_back(gh[listed[i]]);
            hl.push_back(hh[listed[i]]);
            thr.push_back(i + 1 < listed.size() ? (values[listed[i]] + values[listed[i + 1]]) * 0.5
                                                : 0.0);
        }
        const ProjectedCut expected = naive_scan(gl, hl, node, 0.5, thr);
        EXPECT_EQ(cut.feature >= 0, expected.found);
        if (expected.found) {
            EXPECT_EQ(cut.gain, expected.gain);
            EXPECT_EQ(cut.threshold, expected.threshold);
            EXPECT_EQ(cut.feature, 3);
        }
    }
}

TEST(BinCut, CutBeforeTheMissingBinSendsOnlyMissingRight) {
    // Bins: 0 -> value 1.0, 1 -> value 3.0, 2 -> missing (0.0). Only missing rows have
    // positive gradients, so the best cut separates the missing bin.
    std::vector<uint16_t> codes{0, 1, 0, 1, 2, 2};
    NodeData d{{-1, -1, -1, -1, 3, 3}, {1, 1, 1, 1, 1, 1}};
    const BinCut cut = cut_of(codes, {1.0, 3.0, 0.0}, true, d.view(), 0.0);
    ASSERT_EQ(cut.feature, 0);
    EXPECT_EQ(cut.threshold, kInf);
    // Without a missing bin the last cut is the midpoint.
    EXPECT_EQ(cut_of(codes, {1.0, 3.0, 5.0}, false, d.view(), 0.0).threshold, 4.0);
}

TEST(BinCut, ThresholdLiesBetweenTheLargestValueLeftAndTheSmallestRight) {
    // Bin 0 holds 0 to 1, bin 1 is empty in the node (2 to 3), bin 2 holds 1.1 to 4: the cut
    // after bin 0 lies between its largest value and bin 2's smallest, not between means.
    std::vector<uint16_t> codes{0, 0, 2, 2};
    NodeData d{{-1, -1, 1, 1}, {1, 1, 1, 1}};
    const BinCut cut =
        cut_of(codes, {0.0, 2.0, 1.1}, false, d.view(), 0.0, 0, {1.0, 3.0, 4.0});
    ASSERT_EQ(cut.feature, 0);
    EXPECT_EQ(cut.threshold, 1.05);
    // Neighbouring values one step apart: the upper one is the cut, which routes it right.
    const double up = std::nextafter(1.0, 2.0);
    EXPECT_EQ(cut_of(codes, {0.0, 2.0, up}, false, d.view(), 0.0, 0, {1.0, 3.0, 4.0}).threshold,
              up);
}

TEST(BinCut, SingleBinAndTinyHessianSidesYieldNothing) {
    std::vector<uint16_t> codes{0, 0, 0};
    NodeData d{{1, -1, 2}, {1, 1, 1}};
    EXPECT_EQ(cut_of(codes, {0.0}, false, d.view(), 1.0).feature, -1);
    EXPECT_EQ(cut_of(codes, {0.0, 1.0}, false, d.view(), 1.0).feature, -1);  // all in bin 0
    NodeData tiny{{5, -1, -1}, {1e-12, 1, 1}};
    EXPECT_EQ(cut_of({0, 1, 1}, {0.0, 1.0}, false, tiny.view(), 1.0).feature, -1);
}

TEST(ProjectedHistogram, MatchesNaiveBinningAndKeepsMissingRight) {
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (int trial = 0; trial < 40; ++trial) {
        const int n = 2 + static_cast<int>(gen() % 80);
        const int bins = 2 + static_cast<int>(gen() % 12);
        NodeData d = random_node(gen, n);
        std::vector<double> z(n);
        double lo = kInf, hi = -kInf;
        for (int k = 0; k < n; ++k) {
            z[k] = (gen() % 7 == 0) ? kNaN : u(gen);
            if (!std::isnan(z[k])) {
                lo = std::min(lo, z[k]);
                hi = std::max(hi, z[k]);
            }
        }
        const NodeGradients node = d.view();
        ThreadScratch s;
        const ProjectedCut got = projected_histogram_split(z.data(), node, 1.0, lo, hi, true, s, bins);
        if (!(hi - lo >= 1e-12)) {
            EXPECT_FALSE(got.found);
            continue;
        }
        const double step = (hi - lo) / bins;
        std::vector<double> gh(bins, 0), hh(bins, 0), thr(bins);
        for (int k = 0; k < n; ++k) {
            if (std::isnan(z[k])) continue;
            int b = static_cast<int>((z[k] - lo) / step);
            b = std::min(std::max(b, 0), bins - 1);
            gh[b] += d.grad[k];
            hh[b] += d.hess[k];
        }
        for (int i = 0; i < bins; ++i) thr[i] = lo + (i + 1) * step;
        const ProjectedCut expected = naive_scan(gh, hh, node, 1.0, thr);
        EXPECT_EQ(got.found, expected.found);
        EXPECT_EQ(got.gain, expected.gain);
        EXPECT_EQ(got.threshold, expected.threshold);
    }
}

TEST(ProjectedHistogram, CellsAreThoseOfTheDivisionEvenOnTheEdges) {
    // Values on and one unit in the last place around every cell edge, the ends of the
    // range, random values and NaN, over ranges of several sizes and signs: every cell is
    // clamp_bin((v - lo) / step), whichever way the kernel found it.
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (const auto& [lo, hi, bins] : {std::tuple{-3.0, 3.0, 7}, std::tuple{0.1, 0.7, 64},
                                       std::tuple{1e15, 1e15 + 4096.0, 256},
                                       std::tuple{-2e-9, -1e-9, 3}, std::tuple{5.0, 5.5, 1000}}) {
        const double step = (hi - lo) / bins;
        std::vector<double> z = {lo, hi, kNaN};
        for (int i = 1; i < bins; ++i) {
            const double edge = lo + i * step;
            z.push_back(edge);
            if (std::nextafter(edge, -kInf) >= lo) z.push_back(std::nextafter(edge, -kInf));
            if (std::nextafter(edge, kInf) <= hi) z.push_back(std::nextafter(edge, kInf));
        }
        for (int k = 0; k < 301; ++k) z.push_back(lo + u(gen) * (hi - lo));
        for (const bool missing_aware : {true, false}) {
            std::vector<int32_t> got(z.size());
            projected_cells(z.data(), static_cast<int32_t>(z.size()), lo, step, bins, missing_aware,
                            got.data());
            for (size_t k = 0; k < z.size(); ++k) {
                const int32_t want = std::isnan(z[k]) && missing_aware
                                         ? bins
                                         : clamp_bin((z[k] - lo) / step, bins);
                ASSERT_EQ(got[k], want) << "value " << z[k] << " in [" << lo << ", " << hi << "]";
            }
        }
    }
}

TEST(ProjectedHistogram, EdgesOfTheRange) {
    NodeData d{{-1, 1}, {1, 1}};
    std::vector<double> z{0.0, 1.0};
    ThreadScratch s;
    // Two bins: the one cut is the midpoint; the value equal to hi lands in the last cell.
    ProjectedCut cut = projected_histogram_split(z.data(), d.view(), 0.0, 0.0, 1.0, true, s, 2);
    EXPECT_TRUE(cut.found);
    EXPECT_EQ(cut.threshold, 0.5);
    // Every value missing: empty range, nothing found.
    std::vector<double> missing{kNaN, kNaN};
    cut = projected_histogram_split(missing.data(), d.view(), 0.0, kInf, -kInf, true, s, 2);
    EXPECT_FALSE(cut.found);
}

TEST(LinearPair, FastPathMatchesSinglePrecisionReference) {
    std::mt19937 gen(9);
    std::normal_distribution<double> u(0.0, 2.0);
    const int n = 5000;  // rows pass in blocks of 2048
    NodeData d = random_node(gen, n);
    std::vector<float> xa(n), xb(n), g32(n), h32(n);
    FeatureMoments ma, mb;
    ma.min_x = mb.min_x = kInf;
    ma.max_x = mb.max_x = -kInf;
    for (int k = 0; k < n; ++k) {
        const double a = u(gen), b = u(gen);
        xa[k] = static_cast<float>(a);
        xb[k] = static_cast<float>(b);
        ma.min_x = std::min(ma.min_x, a);
        ma.max_x = std::max(ma.max_x, a);
        mb.min_x = std::min(mb.min_x, b);
        mb.max_x = std::max(mb.max_x, b);
        g32[k] = static_cast<float>(d.grad[k]);
        h32[k] = static_cast<float>(d.hess[k]);
    }
    FeatureColumn a{1, xa.data(), true}, b{4, xb.data(), true};
    const double ca = 0.6, cb = -0.8;
    ThreadScratch s;
    const NodeGradients node = d.view();
    std::vector<float> gh32(2 * n);
    for (int k = 0; k < n; ++k) {
        gh32[2 * k] = g32[k];
        gh32[2 * k + 1] = h32[k];
    }
    const SplitChoice got = evaluate_linear_pair(a, b, ca, cb, node, gh32.data(), 1.0, 4, s, false,
                                                 ma, mb);
    // Reference: bins over [lo, hi] from the moments, 16 single-precision cells.
    const double lo = ca * ma.min_x + cb * mb.max_x;
    const double hi = ca * ma.max_x + cb * mb.min_x;
    const int count = 16;
    std::vector<float> gh(count, 0), hh(count, 0);
    for (int k = 0; k < n; ++k) {
        float v = ((float(cb) * xb[k] + float(ca) * xa[k]) - float(lo)) * float(count / (hi - lo));
        int bin = static_cast<int>(v);
        bin = std::min(std::max(bin, 0), count - 1);
        gh[bin] += g32[k];
        hh[bin] += h32[k];
    }
    std::vector<double> gd(gh.begin(), gh.end()), hd(hh.begin(), hh.end()), thr(count);
    for (int i = 0; i < count; ++i) thr[i] = lo + (i + 1) * ((hi - lo) / count);
    const ProjectedCut expected = naive_scan(gd, hd, node, 1.0, thr);
    ASSERT_TRUE(expected.found);
    EXPECT_EQ(got.kind, kLinearPair);
    EXPECT_EQ(got.gain, expected.gain);
    EXPECT_EQ(got.bias, -expected.threshold);
    // Two pairs filled in one pass give what each gives alone; a pair whose range is empty
    // gives nothing and leaves its partner alone.
    const SplitChoice other = evaluate_linear_pair(b, a, 0.3, 0.954, node, gh32.data(), 1.0, 4, s,
                                                   false, mb, ma);
    ASSERT_EQ(other.kind, kLinearPair);
    FeatureMoments flat = ma;
    flat.max_x = flat.min_x;
    const FastPair pairs[3] = {{&a, &b, ca, cb, &ma, &mb},
                               {&b, &a, 0.3, 0.954, &mb, &ma},
                               {&a, &b, 1.0, 0.0, &flat, &mb}};
    SplitChoice two[2];
    evaluate_fast_pairs(pairs, 2, node, gh32.data(), 1.0, 4, s, two);
    for (const auto& [pair, alone] : {std::pair{two[0], got}, std::pair{two[1], other}}) {
        EXPECT_EQ(pair.gain, alone.gain);
        EXPECT_EQ(pair.bias, alone.bias);
        EXPECT_EQ(pair.feature_a, alone.feature_a);
        EXPECT_EQ(pair.coef_b, alone.coef_b);
    }
    evaluate_fast_pairs(pairs + 1, 2, node, gh32.data(), 1.0, 4, s, two);
    EXPECT_EQ(two[0].gain, other.gain);
    EXPECT_EQ(two[0].bias, other.bias);
    EXPECT_EQ(two[1].kind, kNoSplit);
    EXPECT_EQ(two[1].gain, 0.0);
    // Three and four at once.
    const FastPair four[kMaxFastPairs] = {pairs[2], pairs[1], pairs[0], pairs[1]};
    SplitChoice r[kMaxFastPairs];
    for (int count : {3, 4}) {
        evaluate_fast_pairs(four, count, node, gh32.data(), 1.0, 4, s, r);
        EXPECT_EQ(r[0].kind, kNoSplit);
        EXPECT_EQ(r[1].bias, other.bias);
        EXPECT_EQ(r[2].bias, got.bias);
        EXPECT_EQ(r[2].gain, got.gain);
    }
    EXPECT_EQ(r[3].bias, other.bias);
    EXPECT_EQ(r[3].gain, other.gain);
    EXPECT_EQ(got.feature_a, 1);
    EXPECT_EQ(got.feature_b, 4);
    EXPECT_EQ(got.missing_right, 1);
}

TEST(LinearPair, ExactPathProjectsInDoublePrecisionAndSkipsMissing) {
    // Missing values in both columns, infinities whose weighted sum is NaN, a row count
    // that is not a multiple of four: the same cut as projecting row by row.
    std::mt19937 gen(13);
    std::normal_distribution<double> u(0.0, 1.0);
    for (int n : {3, 4, 101}) {
        NodeData d = random_node(gen, n);
        std::vector<float> xa(n), xb(n);
        for (int k = 0; k < n; ++k) {
            xa[k] = k % 7 == 2 ? NAN : static_cast<float>(u(gen));
            xb[k] = k % 5 == 1 ? NAN : static_cast<float>(u(gen));
        }
        if (n > 50) {
            xa[40] = INFINITY;  // 0.6 * inf + 0.8 * -inf is NaN: kept aside too
            xb[40] = -INFINITY;
            xa[41] = -0.0f;
            xb[41] = 0.0f;
        }
        const double ca = 0.6, cb = 0.8;
        std::vector<double> z(n);
        double lo = kInf, hi = -kInf;
        for (int k = 0; k < n; ++k) {
            if (std::isnan(xa[k]) || std::isnan(xb[k])) {
                z[k] = kNaN;
                continue;
            }
            z[k] = ca * double(xa[k]) + cb * double(xb[k]);
            lo = z[k] < lo ? z[k] : lo;
            hi = z[k] > hi ? z[k] : hi;
        }
        ThreadScratch s;
        const NodeGradients node = d.view();
        const ProjectedCut expected = projected_histogram_split(z.data(), node, 1.0, lo, hi, true, s, 8);
        FeatureColumn a{1, xa.data(), true}, b{4, xb.data(), true};
        const FeatureMoments none;
        const SplitChoice got =
            evaluate_linear_pair(a, b, ca, cb, node, nullptr, 1.0, 8, s, true, none, none);
        ASSERT_EQ(got.kind, expected.found ? kLinearPair : kNoSplit) << n;
        EXPECT_EQ(got.gain, expected.found ? expected.gain : 0.0);
        EXPECT_EQ(got.bias, expected.found ? -expected.threshold : 0.0);
        // Five pairs at once (two passes of up to four), a categorical-numeric one and one
        // whose range is empty among them: each gets what it gets alone.
        std::vector<float> codes(n), flat(n, 2.0f);
        for (int k = 0; k < n; ++k) codes[k] = static_cast<float>(k % 3);
        FeatureColumn c{6, codes.data(), true}, f{7, flat.data(), true};
        const double offsets[3] = {-0.5, 0.25, 0.4};
        const ExactPair pairs[5] = {{&a, &b, ca, cb},
                                    {&f, &f, 0.6, 0.8},
                                    {&c, &a, 1.0, 0.7, nullptr, nullptr, offsets, 3},
                                    {&b, &a, -0.3, 0.95},
                                    {&c, &b, 1.0, -0.2, nullptr, nullptr, offsets, 2}};
        SplitChoice together[5];
        evaluate_exact_pairs(pairs, 5, node, 1.0, 8, s, together);
        for (int i = 0; i < 5; ++i) {
            SplitChoice alone;
            evaluate_exact_pairs(&pairs[i], 1, node, 1.0, 8, s, &alone);
            EXPECT_EQ(together[i].kind, alone.kind) << i;
            EXPECT_EQ(together[i].gain, alone.gain) << i;
            EXPECT_EQ(together[i].bias, alone.bias) << i;
        }
        EXPECT_EQ(together[1].kind, kNoSplit);
        const SplitChoice category =
            evaluate_category_pair(c, a, offsets, 3, 0.7, node, 1.0, 8, s);
        EXPECT_EQ(together[2].gain, category.gain);
        EXPECT_EQ(together[2].feature_a, category.feature_a);
        if (n > 50) EXPECT_EQ(category.feature_a, 6);
    }
}

TEST(CategoryPair, ProjectsThroughOffsetsAndSendsMissingRight) {
    // Category 0 rows want to go left, category 1 rows right; offsets separate them.
    std::vector<float> cat{0, 1, 0, 1, 5, NAN};
    std::vector<float> num{1, 1, 2, 2, 1, 1};
    NodeData d{{-2, 2, -2, 2, 2, 2}, {1, 1, 1, 1, 1, 1}};
    FeatureColumn c{7, cat.data(), true}, x{2, num.data(), true};
    const std::vector<double> offsets{-1.0, 1.0};
    ThreadScratch s;
    const SplitChoice got =
        evaluate_category_pair(c, x, offsets.data(), 2, 0.0, d.view(), 0.0, 8, s);
    ASSERT_EQ(got.kind, kCategoryPair);
    EXPECT_EQ(got.feature_a, 7);
    EXPECT_EQ(got.feature_b, 2);
    EXPECT_EQ(got.coef_a, 1.0);
    // Out-of-range code 5 projects to offset 0, between -1 and 1; the best cut puts the
    // two category-0 rows alone on the left.
    EXPECT_GT(-got.bias, -1.0);
    EXPECT_LE(-got.bias, 0.0);
    EXPECT_TRUE(got.category_values.empty());  // attached by the caller for the winner
}

TEST(FillColumns, MomentsAreRowOrderSumsOnEveryPath) {
    std::mt19937 gen(31);
    const int32_t cols = 9, rows_total = 500;
    std::vector<double> x = random_matrix(gen, rows_total, cols, 0.0);
    x[7 * cols + 4] = kNaN;  // column 4 has a missing value: no moments
    const std::vector<bool> has_missing{false, false, false, false, true, false, false, false, false};
    std::vector<int32_t> rows;
    for (int32_t r = 0; r < rows_total; r += 3) rows.push_back(r);
    NodeData d = random_node(gen, static_cast<int>(rows.size()));
    const NodeGradients node = d.view();
    const MatrixView X{x.data(), rows_total, cols};
    // Side by side columns (0..8) and a scattered selection.
    for (const std::vector<int32_t>& features :
         {std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}, std::vector<int32_t>{1, 2, 5, 8},
          std::vector<int32_t>{0, 1, 2, 3}}) {
        std::vector<float> values(features.size() * rows.size());
        std::vector<FeatureColumn> columns;
        for (size_t i = 0; i < features.size(); ++i) {
            columns.push_back({features[i], values.data() + i * rows.size(), false});
        }
        std::vector<FeatureMoments> m(features.size());
        fill_columns(columns, has_missing, X, rows.data(), node, m.data());
        for (size_t i = 0; i < features.size(); ++i) {
            const int32_t f = features[i];
            FeatureMoments e;
            if (!has_missing[f]) {
                e.min_x = kInf;
                e.max_x = -kInf;
                for (size_t k = 0; k < rows.size(); ++k) {
                    const double v = X.at(rows[k], f);
                    e.sum_hx += d.hess[k] * v;
                    e.sum_hxx += d.hess[k] * v * v;
                    e.sum_rx += -d.grad[k] * v;
                    e.min_x = std::min(e.min_x, v);
                    e.max_x = std::max(e.max_x, v);
                }
            }
            EXPECT_EQ(m[i].sum_hx, e.sum_hx) << "feature " << f;
            EXPECT_EQ(m[i].sum_hxx, e.sum_hxx);
            EXPECT_EQ(m[i].sum_rx, e.sum_rx);
            EXPECT_EQ(m[i].min_x, e.min_x);
            EXPECT_EQ(m[i].max_x, e.max_x);
            for (size_t k = 0; k < rows.size(); ++k) {
                ASSERT_EQ(columns[i].values[k], static_cast<float>(X.at(rows[k], f)));
            }
            EXPECT_TRUE(columns[i].filled);
        }
    }
}
