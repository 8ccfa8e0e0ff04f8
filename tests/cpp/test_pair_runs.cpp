// The pair search takes a node's pairs in runs of whole first columns and cuts its
// candidates down as it goes: the trees must be those of one run over all pairs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "prep/binning.hpp"
#include "tree/grow_node.hpp"
#include "tree/pair_proposal.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

struct Data {
    std::vector<double> x, grad, hess;
    int32_t rows = 500, cols = 37;
};

// Numeric columns with missing values, every fifth column categorical (codes 0 .. 5), and
// a target that pairs of columns explain.
Data make_data(uint32_t seed) {
    std::mt19937 gen(seed);
    Data d;
    d.x = random_matrix(gen, d.rows, d.cols, 0.04);
    std::uniform_int_distribution<int32_t> code(0, 5);
    for (int32_t r = 0; r < d.rows; ++r) {
        double* row = d.x.data() + static_cast<int64_t>(r) * d.cols;
        for (int32_t c = 0; c < d.cols; c += 5) row[c] = code(gen);
        auto v = [&](int32_t c) { return std::isnan(row[c]) ? 0.0 : row[c]; };
        d.grad.push_back(-(v(1) - v(2) + 0.3 * row[0] + v(8) * v(9)));
        d.hess.push_back(1.0);
    }
    return d;
}

Booster booster_for(const Data& d, int32_t split_mode) {
    Booster b = default_booster();
    b.params.split_mode = static_cast<SplitMode>(split_mode);
    b.params.max_depth = 4;
    b.params.min_samples = 5;
    b.params.categorical.assign(d.cols, 0);
    for (int32_t c = 0; c < d.cols; c += 5) b.params.categorical[c] = 1;
    b.model.n_features = d.cols;
    b.model.importances.feature_gain.assign(d.cols, 0.0);
    b.model.importances.coefficient_gain.assign(d.cols, 0.0);
    return b;
}

Tree grow_with_runs(const Data& d, int32_t split_mode, int64_t pair_batch, Booster& b) {
    b = booster_for(d, split_mode);  // fresh accumulators
    const MatrixView X{d.x.data(), d.rows, d.cols};
    const BinnedMatrix bins = build_bins(X, b.params.max_bins, b.params.categorical);
    const TreeInput in{&X, &bins, d.grad.data(), d.hess.data()};
    TreeWorkspace ws;
    ws.search.pair_batch = pair_batch;
    ws.rows.resize(d.rows);
    for (int32_t r = 0; r < d.rows; ++r) ws.rows[r] = r;
    Tree tree;
    grow_node(tree, in, 0, d.rows, 0, tree_params_of(b, std::vector<double>(d.cols, 0.5)), b.rng,
              outputs_of(b), -kInf, kInf, ws);
    return tree;
}

void expect_same_tree(const Tree& a, const Tree& b) {
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a[i].is_leaf, b[i].is_leaf);
        EXPECT_EQ(a[i].kind, b[i].kind);
        EXPECT_EQ(a[i].feature_a, b[i].feature_a);
        EXPECT_EQ(a[i].feature_b, b[i].feature_b);
        // Bit for bit: the runs must not change a single rounding.
        EXPECT_EQ(0, std::memcmp(&a[i].threshold, &b[i].threshold, sizeof(double)));
        EXPECT_EQ(0, std::memcmp(&a[i].coef_a, &b[i].coef_a, sizeof(double)));
        EXPECT_EQ(0, std::memcmp(&a[i].coef_b, &b[i].coef_b, sizeof(double)));
        EXPECT_EQ(0, std::memcmp(&a[i].bias, &b[i].bias, sizeof(double)));
        EXPECT_EQ(0, std::memcmp(&a[i].gain, &b[i].gain, sizeof(double)));
        EXPECT_EQ(0, std::memcmp(&a[i].value, &b[i].value, sizeof(double)));
        EXPECT_EQ(a[i].category_values, b[i].category_values);
    }
}

}  // namespace

TEST(PairRuns, RunsAreWholeFirstColumnsWithinTheBatch) {
    for (int32_t c_count : {2, 3, 10, 37}) {
        for (int64_t batch : {1, 5, 36, 100, 1000}) {
            int32_t a0 = 0;
            while (a0 + 1 < c_count) {
                const int32_t a1 = pair_run_end(a0, c_count, batch);
                ASSERT_GT(a1, a0);
                ASSERT_LE(a1, c_count - 1);
                int64_t pairs = 0;
                for (int32_t a = a0; a < a1; ++a) pairs += c_count - 1 - a;
                // A run takes more than the batch only when it is one first column, and it
                // stops only when the next first column would not fit.
                EXPECT_TRUE(pairs <= batch || a1 == a0 + 1);
                if (a1 + 1 < c_count) {
                    EXPECT_GT(pairs + (c_count - 1 - a1), batch);
                }
                a0 = a1;
            }
        }
    }
}

// Runs of one first column, of a few and of all pairs give the same trees, in the capped
// search (screening near the root, the prescore cap deeper) and the uncapped one (each run
// evaluated as it is proposed), with categorical-numeric pairs and missing values.
TEST(PairRuns, TreesDoNotDependOnTheRuns) {
    const Data d = make_data(5);
    for (int32_t split_mode : {0, 2}) {
        SCOPED_TRACE(split_mode);
        Booster one = default_booster(), few = one, all = one;
        const Tree whole = grow_with_runs(d, split_mode, int64_t{1} << 40, all);
        EXPECT_GT(whole.size(), 7u);
        bool oblique = false;
        for (const Node& n : whole) oblique = oblique || (!n.is_leaf && n.kind != kAxis);
        EXPECT_TRUE(oblique);
        expect_same_tree(grow_with_runs(d, split_mode, 1, one), whole);
        expect_same_tree(grow_with_runs(d, split_mode, 90, few), whole);
        EXPECT_EQ(one.model.importances.interaction_gain, all.model.importances.interaction_gain);
        EXPECT_EQ(few.model.importances.coefficient_gain, all.model.importances.coefficient_gain);
    }
}

// VRL_K keeps the k best by prescore, gathered run by run.
TEST(PairRuns, KeptTopDoesNotDependOnTheRuns) {
    const Data d = make_data(9);
    ASSERT_EQ(0, setenv("VRL_K", "3", 1));
    for (int32_t split_mode : {0, 2}) {
        Booster x = default_booster(), y = x;
        const Tree whole = grow_with_runs(d, split_mode, int64_t{1} << 40, x);
        expect_same_tree(grow_with_runs(d, split_mode, 1, y), whole);
    }
    unsetenv("VRL_K");
}
