#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/numeric.hpp"
#include "common/total_order.hpp"
#include "decide/axis_cut.hpp"
#include "decide/pair_or_axis.hpp"
#include "decide/projected_cut.hpp"
#include "exact/cut_decision.hpp"
#include "exact/oblique_decision.hpp"
#include "exact/projection_stats.hpp"
#include "tree/cut_placement.hpp"
#include "tree/projected_histogram.hpp"

using namespace vorlent;

namespace {

// The same statistics on a round's grid and as the doubles they stand for. Every term is a
// small multiple of a coarse power of two, so that every double sum the default path forms
// is exact: both paths then see the same numbers, and must decide alike to the bit,
// ties included. A cell holds rows exactly when its hessian is positive, so that the
// paths' two ways of telling occupied cells agree.
struct GridStats {
    FixedGrid grid = FixedGrid::for_bound(64.0);
    std::mt19937_64 gen;

    explicit GridStats(uint64_t seed) : gen(seed) {}

    int32_t pick(int32_t lo, int32_t hi) {
        return std::uniform_int_distribution<int32_t>(lo, hi)(gen);
    }
    // A cell's words g, h, count: empty, or a gradient of -3 .. 3 units and a hessian of
    // 1 .. 3 units (few values, so that many cuts tie).
    void cell(int64_t* w) {
        const int64_t unit = int64_t{1} << 45;
        const bool empty = pick(0, 9) < 3;
        w[0] = empty ? 0 : pick(-3, 3) * unit;
        w[1] = empty ? 0 : pick(1, 3) * unit;
        w[2] = empty ? 0 : pick(1, 5);
    }
    double value(int64_t q) const { return grid.value(q); }
};

// Sums the g, h, count words of cells [0, n) (stride words apart) into node totals.
NodeTotals totals_of(const int64_t* words, int32_t n, int64_t stride) {
    NodeTotals t;
    for (int32_t i = 0; i < n; ++i) {
        t.g += words[i * stride];
        t.h += words[i * stride + 1];
        t.count += words[i * stride + 2];
    }
    return t;
}

// Random features: ascending bin values (categorical ones one integer code per bin), a
// missing bin at the end of some, +inf as the largest value of the last value bin of some.
BinnedMatrix random_bins(GridStats& r, int32_t n_features) {
    BinnedMatrix bins;
    for (int32_t f = 0; f < n_features; ++f) {
        const int32_t n_bins = r.pick(2, 9);
        const bool missing = r.pick(0, 1) == 1;
        const bool categorical = r.pick(0, 2) == 0;
        std::vector<double> low, high;
        double v = r.pick(-5, 5);
        for (int32_t b = 0; b < n_bins - (missing ? 1 : 0); ++b) {
            low.push_back(v);
            v += categorical ? 1.0 : 0.25 * r.pick(0, 4);
            high.push_back(v);
            v += categorical ? 0.0 : 0.125 * r.pick(1, 4);
        }
        if (!categorical && r.pick(0, 3) == 0) high.back() = kInf;
        if (missing) {
            low.push_back(0.0);
            high.push_back(0.0);
        }
        bins.bin_low.push_back(low);
        bins.bin_high.push_back(high);
        bins.has_missing.push_back(missing);
    }
    return bins;
}

template <class Sums>
void expect_same_cut(const AxisCut<Sums>& a, const ExactCut& b, int trial) {
    EXPECT_EQ(a.gain, b.gain) << trial;
    EXPECT_EQ(a.feature, b.feature) << trial;
    EXPECT_EQ(a.threshold, b.threshold) << trial;
    EXPECT_EQ(a.missing_right, b.missing_right) << trial;
}

}  // namespace

// The default path's scan (double cells) and exact_sums' (integer cells on the grid, through
// best_exact_cut) pick the same cut from the same histograms: the same gain to the bit, the
// same column, threshold and missing side, ties going to the first column and cut. They
// differ only where exact_sums refuses a +inf threshold that the default path offers.
TEST(DecideCuts, AxisCutIsTheSameOnDoublesAndOnTheGrid) {
    GridStats r(11);
    int found = 0, missing_left = 0, refused = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const int32_t n_features = r.pick(1, 3);
        BinnedMatrix bins = random_bins(r, n_features);
        // Column 1, when there is one, is often column 0 again: a tie between columns.
        const bool twin = n_features > 1 && r.pick(0, 1) == 1;
        if (twin) {
            bins.bin_low[1] = bins.bin_low[0];
            bins.bin_high[1] = bins.bin_high[0];
            bins.has_missing[1] = bins.has_missing[0];
        }
        const HistogramShape shape = HistogramShape::of(bins);
        std::vector<int64_t> block(static_cast<size_t>(shape.node_words()), 0);
        int64_t* cells = block.data() + kNodeWords;
        for (int32_t b = 0; b < shape.bin_offset.back(); ++b) r.cell(cells + kCellWords * b);
        if (twin) {
            std::copy(cells, cells + kCellWords * shape.bin_offset[1],
                      cells + kCellWords * shape.bin_offset[1]);
        }
        // The node's rows are column 0's; the other columns' sums need not add up to them.
        const NodeTotals node = totals_of(cells, shape.bin_offset[1], kCellWords);
        const double lambda = r.pick(0, 2) * 0.5;
        const bool learn_missing = r.pick(0, 1) == 1;
        std::vector<double> grad(static_cast<size_t>(shape.bin_offset.back()) * 2);
        for (size_t i = 0; i < grad.size(); ++i) {
            grad[i] = r.value(cells[kCellWords * (i / 2) + i % 2]);
        }
        std::vector<int32_t> features(static_cast<size_t>(n_features));
        for (int32_t f = 0; f < n_features; ++f) features[f] = f;
        const CutSettings settings{lambda, learn_missing, &bins, RoundGrids{r.grid, r.grid}};
        std::vector<int32_t> listed;
        const ExactCut exact =
            best_exact_cut(block.data(), shape, features, node, settings, listed);

        const double G = r.value(node.g), H = r.value(node.h);
        std::vector<int32_t> room(64);
        AxisCut<DoubleCells::Sums> refused_cut, offered_cut;
        for (const int32_t f : features) {
            const double* column = grad.data() + 2 * shape.bin_offset[f];
            const DoubleCells doubles{column, column + 1, 2, G, H};
            const AxisBins axis{&bins.bin_low[f], &bins.bin_high[f], bins.has_missing[f] != 0};
            best_axis_cut<InfiniteTopCut::kRefused>(f, doubles, axis, lambda, learn_missing,
                                                    room.data(), refused_cut);
            best_axis_cut<InfiniteTopCut::kOffered>(f, doubles, axis, lambda, learn_missing,
                                                    room.data(), offered_cut);
        }
        expect_same_cut(refused_cut, exact, trial);
        EXPECT_EQ(refused_cut.left.g, r.value(exact.left.g)) << trial;
        EXPECT_EQ(refused_cut.left.h, r.value(exact.left.h)) << trial;
        if (offered_cut.gain != refused_cut.gain ||
            offered_cut.threshold != refused_cut.threshold) {
            // The cut only the default path offers: +inf, before the missing bin of a column
            // whose last value bin holds +inf.
            ++refused;
            const int32_t f = offered_cut.feature;
            EXPECT_EQ(offered_cut.threshold, kInf) << trial;
            EXPECT_EQ(bins.bin_high[f][bins.bin_high[f].size() - 2], kInf) << trial;
        }
        // Column 1 ties column 0 on every cut, and the tie goes to column 0.
        if (twin) {
            EXPECT_NE(exact.feature, 1) << trial;
        }
        found += exact.feature >= 0 ? 1 : 0;
        missing_left += exact.missing_right == 0 ? 1 : 0;
    }
    // The cases reach every branch.
    EXPECT_GT(found, 1500);
    EXPECT_GT(missing_left, 100);
    EXPECT_GT(refused, 10);
}

namespace {

// A node's rows on one projection: values inside cells [0, bins) of a grid on [0, bins) with
// unit cells (NaN for rows missing a value), and their gradients as in GridStats.
struct ProjectedRows {
    std::vector<double> z, grad, hess;
    std::vector<int64_t> qg, qh;
};

ProjectedRows random_rows(GridStats& r, int32_t n, int32_t bins) {
    ProjectedRows rows;
    // Rows crowd into a few cells, so that cells are empty, shared, and at both ends.
    const int32_t first = r.pick(0, bins - 1), last = r.pick(first, bins - 1);
    for (int32_t k = 0; k < n; ++k) {
        int64_t w[3];
        do r.cell(w);
        while (w[2] == 0);
        rows.qg.push_back(w[0]);
        rows.qh.push_back(w[1]);
        rows.grad.push_back(r.value(w[0]));
        rows.hess.push_back(r.value(w[1]));
        rows.z.push_back(r.pick(0, 7) == 0 ? NAN : r.pick(first, last) + 0.125 * r.pick(1, 7));
    }
    return rows;
}

// The kProjectedHistograms item of the rows: value cells, the NaN cell (empty), the cell of
// the rows missing a value.
std::vector<int64_t> projected_item(const ProjectedRows& rows, int32_t bins) {
    std::vector<int64_t> item(static_cast<size_t>(kProjectedCellWords * (bins + 2)), 0);
    for (int32_t c = 0; c < bins + 2; ++c) {
        item[kProjectedCellWords * c + 3] = static_cast<int64_t>(~uint64_t{0});
    }
    for (size_t k = 0; k < rows.z.size(); ++k) {
        const double v = rows.z[k];
        const int32_t c = std::isnan(v) ? bins + 1 : static_cast<int32_t>(v);
        int64_t* w = item.data() + kProjectedCellWords * c;
        w[0] += rows.qg[k];
        w[1] += rows.qh[k];
        w[2] += 1;
        if (std::isnan(v)) continue;
        const auto key = static_cast<int64_t>(sort_key(v));
        w[3] = static_cast<uint64_t>(key) < static_cast<uint64_t>(w[3]) ? key : w[3];
        w[4] = static_cast<uint64_t>(key) > static_cast<uint64_t>(w[4]) ? key : w[4];
    }
    return item;
}

}  // namespace

// The default path's placed projection cut (from the rows' values, over the cells or over
// the rows ordered by cell) and exact_sums' cut of the merged projected histogram pick the
// same cut from the same rows: the same gain to the bit, threshold and missing side.
TEST(DecideCuts, ProjectedCutIsTheSameOnDoublesAndOnTheGrid) {
    GridStats r(12);
    int found = 0, missing_left = 0;
    std::vector<double> cells;
    std::vector<std::pair<int32_t, int32_t>> order;
    for (int trial = 0; trial < 3000; ++trial) {
        const int32_t bins = r.pick(2, 40);
        const ProjectedRows rows = random_rows(r, r.pick(1, 30), bins);
        const auto n = static_cast<int32_t>(rows.z.size());
        const double lambda = r.pick(0, 2) * 0.5;
        const bool learn_missing = r.pick(0, 1) == 1;
        NodeGradients node{rows.grad.data(), rows.hess.data(), n, 0.0, 0.0};
        NodeTotals totals;
        for (int32_t k = 0; k < n; ++k) {
            node.G += rows.grad[k];
            node.H += rows.hess[k];
            totals.g += rows.qg[k];
            totals.h += rows.qh[k];
            ++totals.count;
        }
        std::vector<double> z = rows.z;
        const ProjectedCut placed = placed_projection_cut(
            z.data(), node, lambda, ProjectedGrid{0.0, 1.0, bins}, cells, order, learn_missing);
        const std::vector<int64_t> item = projected_item(rows, bins);
        const CutSettings settings{lambda, learn_missing, nullptr, RoundGrids{r.grid, r.grid}};
        const ObliqueCut exact = best_projection_cut(item.data(), bins, totals, settings);
        EXPECT_EQ(placed.found, exact.gain > 0.0) << trial;
        if (!placed.found) continue;
        EXPECT_EQ(placed.gain, exact.gain) << trial;
        EXPECT_EQ(placed.threshold, exact.threshold) << trial;
        EXPECT_EQ(placed.missing_left, exact.missing_right == 0) << trial;
        ++found;
        missing_left += exact.missing_right == 0 ? 1 : 0;
    }
    EXPECT_GT(found, 1000);
    EXPECT_GT(missing_left, 100);
}

// A node splits on its pair cut when that gains and, with best_of_kinds, the axis cut does
// not gain strictly more; else on its axis cut when that gains; else it stays a leaf.
TEST(DecideCuts, PairOrAxisTakesTheCutThatGainsMost) {
    const double gains[] = {0.0, kMinGain, std::nextafter(kMinGain, 1.0), 0.25, 0.5, -1.0};
    for (const double pair : gains) {
        for (const double axis : gains) {
            for (const bool best_of_kinds : {false, true}) {
                const bool pair_wins = pair_cut_wins(pair, axis, best_of_kinds);
                const bool splits = pair_wins || cut_gains(axis);
                // The naive rule: a cut splits when it gains more than kMinGain; the pair
                // cut goes first, or, with best_of_kinds, the larger gain, a tie to the pair.
                const bool pair_gains = pair > kMinGain;
                const bool expected_pair = pair_gains && (!best_of_kinds || pair >= axis);
                EXPECT_EQ(pair_wins, expected_pair) << pair << " " << axis << " " << best_of_kinds;
                EXPECT_EQ(splits, pair_gains || axis > kMinGain) << pair << " " << axis;
            }
        }
    }
}
