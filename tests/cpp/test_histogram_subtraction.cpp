#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "booster_fixtures.hpp"
#include "common/matrix.hpp"
#include "model/routing.hpp"
#include "prep/binning.hpp"
#include "tree/histogram_stack.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {


// Two numeric columns and a categorical one (codes 0..5), each with missing values; some
// rows carry a zero hessian, as saturated probabilities do.
struct Data {
    int32_t rows = 0;
    int32_t cols = 3;
    std::vector<double> x, grad, hess;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
};

Data make_data(int32_t rows, uint32_t seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Data d;
    d.rows = rows;
    for (int32_t r = 0; r < rows; ++r) {
        const double a = normal(gen), b = normal(gen);
        const double category = std::floor(6.0 * unit(gen));
        d.x.push_back(unit(gen) < 0.1 ? kNaN : a);
        d.x.push_back(unit(gen) < 0.1 ? kNaN : b);
        d.x.push_back(unit(gen) < 0.05 ? kNaN : category);
        d.grad.push_back(normal(gen) * 1e3);
        d.hess.push_back(unit(gen) < 0.05 ? 0.0 : 1e-3 + unit(gen) * 1e2);
    }
    return d;
}

// The histograms summed over the rows by the obvious loop.
struct Naive {
    std::vector<double> cells;
    std::vector<int32_t> counts;
};

Naive naive_histograms(const Data& d, const BinnedMatrix& bins, const std::vector<int32_t>& offsets,
                       const int32_t* rows, int32_t n) {
    Naive out{std::vector<double>(2 * static_cast<size_t>(offsets.back()), 0.0),
              std::vector<int32_t>(static_cast<size_t>(offsets.back()), 0)};
    for (int32_t k = 0; k < n; ++k) {
        const int32_t r = rows[k];
        for (int32_t f = 0; f < d.cols; ++f) {
            const int32_t at = offsets[f] + bins.code(static_cast<int64_t>(r) * d.cols + f);
            out.cells[2 * at] += d.grad[r];
            out.cells[2 * at + 1] += d.hess[r];
            out.counts[at] += d.hess[r] > 0.0 ? 1 : 0;
        }
    }
    return out;
}

// A node of the walk: its rows and their gathered gradients.
struct WalkNode {
    int32_t begin = 0, end = 0;
    std::vector<double> grad, hess;
};

WalkNode walk_node(const Data& d, const std::vector<int32_t>& rows, int32_t begin, int32_t end) {
    WalkNode w{begin, end, {}, {}};
    for (int32_t k = begin; k < end; ++k) {
        w.grad.push_back(d.grad[rows[k]]);
        w.hess.push_back(d.hess[rows[k]]);
    }
    return w;
}

// Stable partition of rows[begin, end) by the test; returns the first right row.
int32_t partition(const Data& d, const Node& test, std::vector<int32_t>& rows, int32_t begin,
                  int32_t end) {
    const Directions none;
    auto left = [&](int32_t r) {
        return !goes_right(test, d.x.data() + static_cast<int64_t>(r) * d.cols, none);
    };
    const auto mid = std::stable_partition(rows.begin() + begin, rows.begin() + end, left);
    return static_cast<int32_t>(mid - rows.begin());
}

// The slot against the sums over its rows: counts and empty bins exactly, sums within
// rounding of the column's largest sum.
void expect_matches(const HistogramSlot& slot, const Naive& want, const char* what) {
    const size_t n_bins = want.counts.size();
    double scale = 0.0;
    for (double c : want.cells) scale = std::max(scale, std::fabs(c));
    for (size_t b = 0; b < n_bins; ++b) {
        ASSERT_EQ(slot.counts[b], want.counts[b]) << what << ", bin " << b;
        if (want.counts[b] == 0) {
            EXPECT_EQ(slot.cells[2 * b + 1], 0.0) << what << ", bin " << b;
        }
        EXPECT_NEAR(slot.cells[2 * b], want.cells[2 * b], 1e-12 * scale) << what << ", bin " << b;
        EXPECT_NEAR(slot.cells[2 * b + 1], want.cells[2 * b + 1], 1e-12 * scale)
            << what << ", bin " << b;
    }
}

Node axis_test(int32_t feature, double threshold) {
    return split_node(kAxis, feature, -1, threshold, 0.0, 0.0, 0.0, -1, -1);
}

Node pair_test(double bias) { return split_node(kLinearPair, 0, 1, 0.0, 0.6, -0.8, bias, -1, -1); }

// Column 2's categories against column 1.
Node category_test(double bias) {
    Node n = split_node(kCategoryPair, 2, 1, 0.0, 1.0, 0.5, bias, -1, -1);
    n.category_values = {-1.0, 0.4, 1.5, -0.2, 0.9, -2.0};
    return n;
}

}  // namespace

// Down two levels under every kind of test, with either child the larger: the smaller
// child is summed from its rows, the larger one is its parent's minus its sibling's (the
// parent itself subtracted one level down), and both match the sums over their rows.
TEST(HistogramSubtraction, ChildrenMatchTheSumsOverTheirRows) {
    const Data d = make_data(3000, 11);
    const BinnedMatrix bins = build_bins(d.view(), 16, {0, 0, 1});
    std::vector<FeatureColumn> columns;
    for (int32_t f = 0; f < d.cols; ++f) columns.push_back(FeatureColumn{f, nullptr, false});
    const std::vector<Node> tests = {axis_test(0, -0.5), axis_test(0, 0.5), pair_test(-0.5),
                                     pair_test(0.5),     category_test(-0.5), category_test(0.5)};
    for (const Node& test : tests) {
        std::vector<int32_t> rows(static_cast<size_t>(d.rows));
        for (int32_t r = 0; r < d.rows; ++r) rows[r] = r;
        const HistogramInput in{&columns, &bins, d.cols, rows.data(), d.grad.data(), d.hess.data()};
        HistogramStack stack;
        start_histograms(stack, bins, 4, true);
        const std::vector<int32_t>& offsets = stack.offsets;
        auto histograms = [&](int32_t depth, const WalkNode& w) {
            const NodeGradients node{w.grad.data(), w.hess.data(), w.end - w.begin, 0.0, 0.0};
            const HistogramSlot* slot =
                node_histograms(stack, in, depth, rows.data() + w.begin, node, false);
            EXPECT_NE(slot, nullptr);
            return slot;
        };
        const std::string kind = "kind " + std::to_string(test.kind) + ", bias " +
                                 std::to_string(test.bias + test.threshold);
        histograms(0, walk_node(d, rows, 0, d.rows));
        // The larger child splits again on the other numeric column.
        int32_t begin = 0, end = d.rows;
        for (int32_t depth = 0; depth < 2; ++depth) {
            const Node& split = depth == 0 ? test : axis_test(1, 0.2);
            const int32_t at = partition(d, split, rows, begin, end);
            ASSERT_GT(at, begin);
            ASSERT_LT(at, end);
            open_children(stack, depth, begin, at, end);
            bool subtracted[2] = {false, false};
            for (int32_t side = 0; side < 2; ++side) {
                const int32_t b = side == 0 ? begin : at, e = side == 0 ? at : end;
                enter_child(stack, depth + 1, side);
                const HistogramSlot* slot = histograms(depth + 1, walk_node(d, rows, b, e));
                ASSERT_NE(slot, nullptr);
                subtracted[side] = slot->subtracted;
                const std::string what = kind + ", depth " + std::to_string(depth + 1) +
                                         ", side " + std::to_string(side);
                expect_matches(*slot, naive_histograms(d, bins, offsets, rows.data() + b, e - b),
                               what.c_str());
            }
            const bool left_larger = at - begin > end - at;
            EXPECT_EQ(subtracted[0], left_larger) << kind;
            EXPECT_EQ(subtracted[1], !left_larger) << kind;
            enter_child(stack, depth + 1, left_larger ? 0 : 1);
            if (left_larger) {
                end = at;
            } else {
                begin = at;
            }
        }
    }
}

// Summed from the rows (here in descending row order), the histograms are the obvious
// loop's to the bit; a stack that does not subtract leaves the summing to the search.
TEST(HistogramSubtraction, SumsFromRowsAreExactAndOptional) {
    const Data d = make_data(700, 5);
    const BinnedMatrix bins = build_bins(d.view(), 32, {0, 0, 1});
    std::vector<FeatureColumn> columns;
    for (int32_t f = 0; f < d.cols; ++f) columns.push_back(FeatureColumn{f, nullptr, false});
    std::vector<int32_t> rows;
    for (int32_t r = d.rows - 1; r >= 0; r -= 2) rows.push_back(r);
    const WalkNode w = walk_node(d, rows, 0, static_cast<int32_t>(rows.size()));
    const NodeGradients node{w.grad.data(), w.hess.data(), w.end, 0.0, 0.0};
    const HistogramInput in{&columns, &bins, d.cols, rows.data(), d.grad.data(), d.hess.data()};
    HistogramStack stack;
    start_histograms(stack, bins, 2, false);
    EXPECT_EQ(node_histograms(stack, in, 0, rows.data(), node, false), nullptr);
    start_histograms(stack, bins, 2, true);
    const HistogramSlot* slot = node_histograms(stack, in, 0, rows.data(), node, false);
    ASSERT_NE(slot, nullptr);
    const Naive want = naive_histograms(d, bins, stack.offsets, rows.data(), w.end);
    for (size_t b = 0; b < want.counts.size(); ++b) {
        EXPECT_EQ(slot->counts[b], want.counts[b]);
        EXPECT_EQ(slot->cells[2 * b], want.cells[2 * b]);
        EXPECT_EQ(slot->cells[2 * b + 1], want.cells[2 * b + 1]);
    }
}
