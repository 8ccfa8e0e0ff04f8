// Pairs among a node's best columns only (max_pair_columns): the ranking, and that both
// tree builders pair no other column.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "decide/ranking.hpp"
#include "grow_fixtures.hpp"
#include "model/routing.hpp"
#include "prep/binning.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/grow_node.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// The reference ranking: every position sorted by descending score (NaN lowest), then by
// position, the first `keep` taken and put back in ascending order.
std::vector<int32_t> sorted_top(const std::vector<double>& scores, int32_t keep) {
    std::vector<int32_t> all(scores.size());
    std::iota(all.begin(), all.end(), 0);
    auto key = [&](int32_t i) { return std::isnan(scores[i]) ? -INFINITY : scores[i]; };
    // Index order on equal keys, spelled out: the tests' counting operator new has no
    // nothrow form, which std::stable_sort's buffer would use.
    std::sort(all.begin(), all.end(),
              [&](int32_t x, int32_t y) { return key(x) != key(y) ? key(x) > key(y) : x < y; });
    all.resize(std::min<size_t>(all.size(), static_cast<size_t>(std::max(keep, 0))));
    std::sort(all.begin(), all.end());
    return all;
}

// Rows 0 .. n-1 that reach each node of `tree`, in row order.
std::vector<std::vector<int32_t>> node_rows(const Tree& tree, const MatrixView& X,
                                            const Directions& projections) {
    std::vector<std::vector<int32_t>> out(tree.size());
    for (int32_t r = 0; r < X.n_rows; ++r) {
        for (int32_t i = 0;;) {
            out[i].push_back(r);
            if (tree[i].is_leaf) break;
            i = goes_right(tree[i], X.row(r), projections) ? tree[i].right : tree[i].left;
        }
    }
    return out;
}

struct Data {
    std::vector<double> x, grad, hess;
    int32_t rows, cols;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
};

// Squared-loss gradients at zero scores of a target that pairs high-numbered columns, so
// that the best columns are not simply the first ones.
Data wide_problem(int32_t rows, int32_t cols, double nan_share) {
    std::mt19937 gen(11);
    Data d{random_matrix(gen, rows, cols, nan_share), {}, {}, rows, cols};
    auto v = [&](int32_t r, int32_t c) {
        const double x = d.x[static_cast<size_t>(r) * cols + c];
        return std::isnan(x) ? 0.0 : x;
    };
    for (int32_t r = 0; r < rows; ++r) {
        const double t = v(r, cols - 1) - 0.7 * v(r, cols - 3) + 0.4 * v(r, 2) +
                         (v(r, cols - 2) * v(r, 1) > 0 ? 0.5 : 0.0);
        d.grad.push_back(-t);
        d.hess.push_back(1.0);
    }
    return d;
}

}  // namespace

TEST(ColumnRanking, TopPositionsMatchTheSortedReference) {
    std::mt19937 gen(3);
    std::vector<int32_t> order, out;
    for (int trial = 0; trial < 200; ++trial) {
        const int32_t count = static_cast<int32_t>(gen() % 40);
        std::vector<double> scores(count);
        // Few distinct values, so that ties are common; some NaN and infinite scores.
        for (double& s : scores) {
            const uint32_t pick = gen() % 10;
            s = pick == 0 ? kNaN : pick == 1 ? -INFINITY : static_cast<double>(gen() % 4);
        }
        for (int32_t keep : {0, 1, 2, count / 2, count, count + 3}) {
            top_positions(scores.data(), count, keep, order, out);
            EXPECT_EQ(out, sorted_top(scores, keep)) << "trial " << trial << ", keep " << keep;
        }
    }
}

TEST(ColumnRanking, HistogramBuilderPairsOnlyItsBestColumns) {
    const int32_t cols = 16;
    for (double nan_share : {0.0, 0.1}) {
        const Data d = wide_problem(6000, cols, nan_share);
        const MatrixView X = d.view();
        for (int32_t keep : {3, 5, 10}) {
            Booster b = default_booster();
            b.params.max_depth = 5;
            b.params.max_pair_columns = keep;
            ready_to_grow(b, cols);
            const Tree tree = grow_from_all_rows(b, X, d.grad.data(), d.hess.data());
            const BinnedMatrix bins = build_bins(X, b.params.max_bins, b.params.categorical);
            const TreeParams params = tree_params_of(b, std::vector<double>(cols, 0.5));

            // Every pair node's columns are among the node's `keep` best by axis gain,
            // found again from the node's rows.
            const auto reach = node_rows(tree, X, {});
            int32_t pair_nodes = 0;
            bool beyond_first = false;
            for (size_t i = 0; i < tree.size(); ++i) {
                const Node& node = tree[i];
                if (node.is_leaf || node.kind == kAxis) continue;
                ++pair_nodes;
                const std::vector<int32_t>& rows = reach[i];
                std::vector<double> g, h;
                for (int32_t r : rows) {
                    g.push_back(d.grad[r]);
                    h.push_back(d.hess[r]);
                }
                const NodeGradients ng{g.data(), h.data(), static_cast<int32_t>(rows.size()),
                                       std::accumulate(g.begin(), g.end(), 0.0),
                                       std::accumulate(h.begin(), h.end(), 0.0)};
                std::vector<FeatureColumn> columns(cols);
                for (int32_t c = 0; c < cols; ++c) columns[c].feature = c;
                std::vector<ThreadScratch> scratch(1);
                SearchWorkspace search_ws;
                const NodeSearch search{&columns, &ng, &X, rows.data(), &bins, &params, 0};
                search_axis_split(search, scratch, search_ws);
                std::vector<double> gains(cols);
                for (int32_t c = 0; c < cols; ++c) gains[c] = search_ws.column_cuts[c].gain;
                const std::vector<int32_t> best = sorted_top(gains, keep);
                auto is_best = [&](int32_t f) {
                    return std::find(best.begin(), best.end(), f) != best.end();
                };
                EXPECT_TRUE(is_best(node.feature_a)) << "node " << i << ", keep " << keep;
                EXPECT_TRUE(is_best(node.feature_b)) << "node " << i << ", keep " << keep;
                beyond_first = beyond_first || node.feature_b >= keep;
            }
            EXPECT_GT(pair_nodes, 2) << "keep " << keep;
            EXPECT_TRUE(beyond_first) << "keep " << keep;
        }
    }
}

TEST(ColumnRanking, LineageBuilderPairsOnlyItsBestColumns) {
    const int32_t cols = 12, keep = 3;
    const Data d = wide_problem(3000, cols, 0.05);
    const MatrixView X = d.view();
    Booster b = default_booster();
    b.params.max_depth = 4;
    b.params.max_lineage = 1;
    b.params.max_pair_columns = keep;
    ready_to_grow(b, cols);
    std::vector<int32_t> all(d.rows);
    std::iota(all.begin(), all.end(), 0);
    Tree tree;
    grow_lineage_tree(tree, X, d.grad.data(), d.hess.data(), all,
                      tree_params_of(b, std::vector<double>(cols, 0.5)), b.rng, outputs_of(b));
    ASSERT_GT(tree.size(), 7u);

    // A node's direction reads only its `keep` best columns by the single-column fit and
    // the columns of its parent's direction (its one lineage entry).
    const auto reach = node_rows(tree, X, b.model.projections);
    std::vector<int32_t> parent(tree.size(), -1);
    for (size_t i = 0; i < tree.size(); ++i) {
        if (tree[i].is_leaf) continue;
        parent[tree[i].left] = parent[tree[i].right] = static_cast<int32_t>(i);
    }
    for (size_t i = 0; i < tree.size(); ++i) {
        if (tree[i].is_leaf) continue;
        std::vector<double> scores(cols, 0.0);
        for (int32_t c = 0; c < cols; ++c) {
            double w = 0, s = 0, sxx = 0, t = 0, t0 = 0;
            for (int32_t r : reach[i]) {
                const double x = X.at(r, c);
                if (std::isnan(x)) continue;
                w += d.hess[r];
                s += d.hess[r] * x;
                sxx += d.hess[r] * x * x;
                t -= d.grad[r] * x;
                t0 -= d.grad[r];
            }
            const double spread = sxx - s * s / w, fit = t - t0 * s / w;
            scores[c] = spread > 1e-12 ? fit * fit / spread : 0.0;
        }
        const std::vector<int32_t> best = sorted_top(scores, keep);
        const std::vector<double>& dir = b.model.projections[tree[i].projection];
        for (int32_t c = 0; c < cols; ++c) {
            if (dir[c] == 0.0 || std::find(best.begin(), best.end(), c) != best.end()) continue;
            ASSERT_GE(parent[i], 0) << "the root reads column " << c << " outside its best";
            EXPECT_NE(b.model.projections[tree[parent[i]].projection][c], 0.0)
                << "node " << i << " reads column " << c;
        }
    }
}
