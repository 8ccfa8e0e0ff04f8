#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "booster_fixtures.hpp"
#include "common/numeric.hpp"
#include "model/importance.hpp"
#include "model/routing.hpp"
#include "tree/column_sampling.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/projected_histogram.hpp"
#include "tree/scratch.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// The plain reference: every pair of candidates evaluated on its own, one pass at a time,
// straight from the matrix.
// A candidate direction: a feature column (source 0) or a lineage entry (source 1).
struct DirectionCandidate {
    int32_t source = 0;
    int32_t index = 0;
};

// Values of a candidate over the node rows.
void candidate_values(const DirectionCandidate& c, const MatrixView& X,
                      const std::vector<int32_t>& rows,
                      const std::vector<std::vector<double>>& lineage_values, double* out) {
    const size_t n = rows.size();
    if (c.source == 1) {
        const std::vector<double>& v = lineage_values[c.index];
        std::copy(v.begin(), v.end(), out);
        return;
    }
    for (size_t k = 0; k < n; ++k) out[k] = X.at(rows[k], c.index);
}


int32_t naive_lineage_node(Tree& tree, const MatrixView& X, const double* grad, const double* hess,
                          std::vector<int32_t> rows, Directions lineage, int32_t depth,
                          double lower, double upper, Booster& b) {
    const size_t n = rows.size();
    double G = 0.0, H = 0.0;
    for (int32_t r : rows) {
        G += grad[r];
        H += hess[r];
    }
    const int32_t index = static_cast<int32_t>(tree.size());
    tree.emplace_back();
    tree[index].value = clamp_value(-G / (H + b.params.reg_lambda), lower, upper);
    if (!(depth < b.params.max_depth && static_cast<int64_t>(n) >= b.params.min_samples))
        return index;

    const int32_t n_features = X.n_cols;
    std::vector<double> node_grad(n), node_hess(n);
    for (size_t k = 0; k < n; ++k) {
        node_grad[k] = grad[rows[k]];
        node_hess[k] = hess[rows[k]];
    }
    std::vector<int32_t> columns;
    if (depth == 0) {
        columns.resize(static_cast<size_t>(n_features));
        for (int32_t j = 0; j < n_features; ++j) columns[j] = j;
    } else {
        sample_columns(n_features, b.params.colsample, b.rng, columns);
    }
    // Projections of the node rows on every lineage direction, computed once per node.
    std::vector<std::vector<double>> lineage_values(lineage.size(), std::vector<double>(n));
    for (size_t e = 0; e < lineage.size(); ++e) {
        const std::vector<double>& d = lineage[e];
        for (size_t k = 0; k < n; ++k) {
            const double* row = X.row(rows[k]);
            double s = 0.0;
            for (int32_t m = 0; m < n_features; ++m) {
                if (d[m] != 0.0) s += d[m] * row[m];
            }
            lineage_values[e][k] = s;
        }
    }
    std::vector<DirectionCandidate> candidates;
    for (int32_t c : columns) candidates.push_back({0, c});
    for (size_t e = 0; e < lineage.size(); ++e) candidates.push_back({1, static_cast<int32_t>(e)});
    auto direction_of = [&](const DirectionCandidate& c, double scale, std::vector<double>& y) {
        if (c.source == 0) {
            y[c.index] += scale;
        } else {
            const std::vector<double>& d = lineage[c.index];
            for (int32_t m = 0; m < n_features; ++m) y[m] += scale * d[m];
        }
    };

    const NodeGradients node{node_grad.data(), node_hess.data(), static_cast<int32_t>(n), G, H};
    ThreadScratch scratch;
    std::vector<double> xa(n), xb(n), z(n), best_z(n), y(static_cast<size_t>(n_features));
    std::vector<double> best_direction;
    double best_gain = 0.0;
    const double lambda = b.params.reg_lambda;
    for (size_t i = 0; i < candidates.size(); ++i) {
        candidate_values(candidates[i], X, rows, lineage_values, xa.data());
        for (size_t j = i + 1; j < candidates.size(); ++j) {
            candidate_values(candidates[j], X, rows, lineage_values, xb.data());
            double W = 0, Sa = 0, Sb = 0, Saa = 0, Sbb = 0, Sab = 0, Ra = 0, Rb = 0, R0 = 0;
            for (size_t k = 0; k < n; ++k) {
                const double a = xa[k], bv = xb[k];
                if (std::isnan(a) || std::isnan(bv)) continue;
                const double h = node_hess[k], g = node_grad[k];
                W += h;
                Sa += h * a;
                Sb += h * bv;
                Saa += h * a * a;
                Sbb += h * bv * bv;
                Sab += h * a * bv;
                Ra -= g * a;
                Rb -= g * bv;
                R0 -= g;
            }
            if (!(W >= kTiny)) continue;
            const double vbb = Sbb - Sb * Sb / W + lambda;
            const double vaa = Saa - Sa * Sa / W + lambda;
            const double vab = Sab - Sb * Sa / W;
            const double det = vbb * vaa - vab * vab;
            if (!(std::fabs(det) >= kTiny)) continue;
            const double ra = Ra - R0 * Sa / W;
            const double rb = Rb - R0 * Sb / W;
            const double ca = (ra * vbb - rb * vab) / det;
            const double cb = (rb * vaa - ra * vab) / det;
            std::fill(y.begin(), y.end(), 0.0);
            direction_of(candidates[i], ca, y);
            direction_of(candidates[j], cb, y);
            double norm_sq = 0.0;
            for (double v : y) norm_sq += v * v;
            const double norm = std::sqrt(norm_sq);
            if (!(norm >= kTiny)) continue;
            bool any_missing = false;
            double lo = kInf, hi = -kInf;
            for (size_t k = 0; k < n; ++k) {
                if (std::isnan(xa[k]) || std::isnan(xb[k])) {
                    z[k] = kNaN;
                    any_missing = true;
                    continue;
                }
                const double v = (ca * xa[k] + cb * xb[k]) / norm;
                z[k] = v;
                lo = v < lo ? v : lo;
                hi = v > hi ? v : hi;
            }
            const ProjectedCut cut =
                projected_histogram_split(z.data(), node, lambda, lo, hi, any_missing, scratch,
                                          std::max(b.params.max_bins, 2));
            if (cut.found && cut.gain > best_gain) {
                best_direction.resize(y.size());
                for (size_t m = 0; m < y.size(); ++m) best_direction[m] = y[m] / norm;
                best_gain = cut.gain;
                best_z.swap(z);
            }
        }
    }
    if (!(best_gain > kMinGain)) return index;

    // The cut is scored again on the projection as routing sums it, and placed between
    // the largest value on its left and the smallest on its right.
    for (size_t k = 0; k < n; ++k) {
        const double* row = X.row(rows[k]);
        double s = 0.0;
        for (int32_t m = 0; m < n_features; ++m) {
            if (best_direction[m] == 0.0) continue;
            if (std::isnan(row[m])) {
                s = kNaN;
                break;
            }
            s += row[m] * best_direction[m];
        }
        best_z[k] = s;
    }
    double lo = kInf, hi = -kInf;
    for (double v : best_z) {
        if (std::isfinite(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    if (!(hi - lo >= kTiny)) return index;
    const int32_t bins = std::max(b.params.max_bins, 2);
    const double step = (hi - lo) / bins;
    std::vector<double> cell_g(bins, 0.0), cell_h(bins, 0.0);
    std::vector<int32_t> cell_of(n, -1);
    for (size_t k = 0; k < n; ++k) {
        if (std::isnan(best_z[k])) continue;
        cell_of[k] = clamp_bin((best_z[k] - lo) / step, bins);
        cell_g[cell_of[k]] += node_grad[k];
        cell_h[cell_of[k]] += node_hess[k];
    }
    double gl = 0.0, hl = 0.0, scored = 0.0;
    int32_t last_left = -1;
    for (int32_t i = 0; i + 1 < bins; ++i) {
        gl += cell_g[i];
        hl += cell_h[i];
        if (!(hl > kTiny) || !(H - hl > kTiny)) continue;
        const double gain = gl * gl / (hl + lambda) + (G - gl) * (G - gl) / (H - hl + lambda) -
                            G * G / (H + lambda);
        if (gain > scored) {
            scored = gain;
            last_left = i;
        }
    }
    if (last_left < 0) return index;
    double below = -kInf, above = kInf;
    for (size_t k = 0; k < n; ++k) {
        if (cell_of[k] < 0) continue;
        if (cell_of[k] <= last_left) below = std::max(below, best_z[k]);
        if (cell_of[k] > last_left) above = std::min(above, best_z[k]);
    }
    const double mid = (below + above) * 0.5;
    const double threshold = below < mid && mid <= above ? mid : above;

    b.model.projections.push_back(best_direction);
    Node test;
    test.is_leaf = false;
    test.projection = static_cast<int32_t>(b.model.projections.size()) - 1;
    test.bias = -threshold;
    test.missing_right = 1;
    std::vector<int32_t> left_rows, right_rows;
    double g_left = 0.0, h_left = 0.0;
    for (size_t k = 0; k < n; ++k) {
        const bool right = goes_right(test, X.row(rows[k]), b.model.projections);
        (right ? right_rows : left_rows).push_back(rows[k]);
        if (!right) {
            g_left += node_grad[k];
            h_left += node_hess[k];
        }
    }
    best_gain = 0.0;
    if (h_left > kTiny && H - h_left > kTiny) {
        best_gain = g_left * g_left / (h_left + lambda) +
                    (G - g_left) * (G - g_left) / (H - h_left + lambda) - G * G / (H + lambda);
    }
    if (!(best_gain > kMinGain)) {
        b.model.projections.pop_back();
        return index;
    }

    credit_projection(b.model.importances, best_direction, best_gain);
    Node& committed = tree[index];
    committed.projection = test.projection;
    committed.is_leaf = false;
    committed.gain = best_gain;
    committed.bias = test.bias;
    committed.missing_right = 1;

    Directions child_lineage = std::move(lineage);
    child_lineage.push_back(std::move(best_direction));
    const size_t keep = static_cast<size_t>(b.params.max_lineage);
    if (child_lineage.size() > keep) {
        child_lineage.erase(child_lineage.begin(),
                            child_lineage.begin() +
                                static_cast<std::ptrdiff_t>(child_lineage.size() - keep));
    }
    // Release the node's working arrays before recursing.
    rows = {};
    lineage_values = {};
    node_grad = {};
    node_hess = {};
    xa = {};
    xb = {};
    z = {};
    best_z = {};
    const int32_t left = naive_lineage_node(tree, X, grad, hess, std::move(left_rows),
                                           child_lineage, depth + 1, lower, upper, b);
    const int32_t right = naive_lineage_node(tree, X, grad, hess, std::move(right_rows),
                                            std::move(child_lineage), depth + 1, lower, upper, b);
    tree[index].left = left;
    tree[index].right = right;
    return index;
}


struct LineageCase {
    std::vector<double> x, grad, hess;
    int32_t rows, cols;
};

LineageCase make_case(uint32_t seed, int32_t rows, int32_t cols, double nan_share) {
    std::mt19937 gen(seed);
    LineageCase c{random_matrix(gen, rows, cols, nan_share), {}, {}, rows, cols};
    std::normal_distribution<double> noise(0.0, 0.3);
    for (int32_t r = 0; r < rows; ++r) {
        const double* v = c.x.data() + static_cast<int64_t>(r) * cols;
        const double a = std::isnan(v[0]) ? 0.0 : v[0];
        const double b = cols < 2 || std::isnan(v[1]) ? 0.0 : v[1];
        c.grad.push_back(-(a * b + a - b) + noise(gen));
        c.hess.push_back(0.5 + 0.5 * std::fabs(noise(gen)));
    }
    return c;
}

Booster lineage_booster(int32_t max_lineage, double colsample, int32_t cols) {
    Booster b = default_booster();
    b.params.max_lineage = max_lineage;
    b.params.colsample = colsample;
    b.params.max_depth = 4;
    b.model.n_features = cols;
    b.model.importances.feature_gain.assign(cols, 0.0);
    b.model.importances.coefficient_gain.assign(cols, 0.0);
    b.params.max_bins = 16;  // the projected histograms' bins
    return b;
}

}  // namespace

TEST(LineageBuilder, MatchesThePlainReference) {
    for (const auto& [seed, lineage, colsample, nan_share] :
         std::vector<std::tuple<uint32_t, int32_t, double, double>>{
             {1, 1, 1.0, 0.0}, {2, 2, 0.7, 0.05}, {3, 3, 1.0, 0.1}}) {
        const LineageCase c = make_case(seed, 3000, 5, nan_share);
        const MatrixView X{c.x.data(), c.rows, c.cols};
        std::vector<int32_t> rows(c.rows);
        for (int32_t r = 0; r < c.rows; ++r) rows[r] = r;
        Booster fast = lineage_booster(lineage, colsample, c.cols);
        Booster plain = lineage_booster(lineage, colsample, c.cols);
        Tree a, b;
        grow_lineage_node(a, X, c.grad.data(), c.hess.data(), rows, {}, 0, -kInf, kInf,
                          tree_params_of(fast), fast.rng, outputs_of(fast));
        naive_lineage_node(b, X, c.grad.data(), c.hess.data(), rows, {}, 0, -kInf, kInf, plain);
        ASSERT_EQ(a.size(), b.size());
        EXPECT_GT(a.size(), 7u);
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].projection, b[i].projection);
            EXPECT_EQ(std::memcmp(&a[i].bias, &b[i].bias, 8), 0);
            EXPECT_EQ(std::memcmp(&a[i].value, &b[i].value, 8), 0);
            EXPECT_EQ(std::memcmp(&a[i].gain, &b[i].gain, 8), 0);
            EXPECT_EQ(a[i].left, b[i].left);
        }
        EXPECT_EQ(fast.model.projections, plain.model.projections);
        EXPECT_EQ(fast.model.importances.feature_gain, plain.model.importances.feature_gain);
        // Every stored direction has unit length, and projection nodes carry no other test.
        for (const std::vector<double>& d : fast.model.projections) {
            double norm = 0.0;
            for (double v : d) norm += v * v;
            EXPECT_NEAR(norm, 1.0, 1e-12);
        }
        for (const Node& n : a) {
            if (!n.is_leaf) {
                EXPECT_EQ(n.kind, 0);
                EXPECT_EQ(n.feature_a, -1);
                EXPECT_EQ(n.missing_right, 1);
            }
        }
    }
}

TEST(LineageBuilder, SingleColumnAndShallowLimitsGiveLeaves) {
    const LineageCase c = make_case(4, 200, 1, 0.0);
    const MatrixView X{c.x.data(), c.rows, c.cols};
    std::vector<int32_t> rows(c.rows);
    for (int32_t r = 0; r < c.rows; ++r) rows[r] = r;
    Booster b = lineage_booster(2, 0.5, 1);
    Tree t;
    grow_lineage_node(t, X, c.grad.data(), c.hess.data(), rows, {}, 0, -kInf, kInf,
                      tree_params_of(b), b.rng, outputs_of(b));
    EXPECT_EQ(t.size(), 1u);  // one candidate, no pair
    Booster wide = lineage_booster(2, 0.5, 5);
    const LineageCase w = make_case(5, 200, 5, 0.0);
    wide.params.max_depth = 0;
    Tree leaf_only;
    grow_lineage_node(leaf_only, MatrixView{w.x.data(), w.rows, w.cols}, w.grad.data(),
                      w.hess.data(), rows, {}, 0, -kInf, kInf, tree_params_of(wide), wide.rng,
                      outputs_of(wide));
    ASSERT_EQ(leaf_only.size(), 1u);
    double g = 0, h = 0;
    for (int32_t r = 0; r < w.rows; ++r) {
        g += w.grad[r];
        h += w.hess[r];
    }
    EXPECT_EQ(leaf_only[0].value, -g / (h + wide.params.reg_lambda));
    // The root offers every column, so a tree of depth 1 draws nothing.
    Booster stump = lineage_booster(2, 0.5, 5);
    stump.params.max_depth = 1;
    Rng untouched = stump.rng;
    Tree s;
    grow_lineage_node(s, MatrixView{w.x.data(), w.rows, w.cols}, w.grad.data(), w.hess.data(), rows,
                      {}, 0, -kInf, kInf, tree_params_of(stump), stump.rng, outputs_of(stump));
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(stump.rng(), untouched());
}
