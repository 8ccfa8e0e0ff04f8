#include "tree/grow_lineage.hpp"

#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "model/importance.hpp"
#include "tree/column_sampling.hpp"
#include "tree/histogram.hpp"
#include "tree/scratch.hpp"

namespace vorlent {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

}  // namespace

int32_t grow_lineage_node(Tree& tree, const MatrixView& X, const double* grad, const double* hess,
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
    tree[index].value = clamp_value(-G / (H + b.reg_lambda), lower, upper);
    if (!(depth < b.max_depth && static_cast<int64_t>(n) >= b.min_samples)) return index;

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
        sample_columns(n_features, b.colsample, b.rng, columns);
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
    double best_gain = 0.0, best_threshold = 0.0;
    const double lambda = b.reg_lambda;
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
            const ProjectedCut cut = projected_histogram_split(z.data(), node, lambda, lo, hi,
                                                               any_missing, scratch, b.hist_bins);
            if (cut.found && cut.gain > best_gain) {
                best_direction.resize(y.size());
                for (size_t m = 0; m < y.size(); ++m) best_direction[m] = y[m] / norm;
                best_threshold = cut.threshold;
                best_gain = cut.gain;
                best_z.swap(z);
            }
        }
    }
    if (!(best_gain > kMinGain)) return index;

    std::vector<int32_t> left_rows, right_rows;
    for (size_t k = 0; k < n; ++k) {
        const double v = best_z[k];
        (!std::isnan(v) && v < best_threshold ? left_rows : right_rows).push_back(rows[k]);
    }
    if (left_rows.empty() || right_rows.empty()) return index;

    credit_projection(b, best_direction, best_gain);
    b.projections.push_back(best_direction);
    Node& committed = tree[index];
    committed.projection = static_cast<int32_t>(b.projections.size()) - 1;
    committed.is_leaf = false;
    committed.gain = best_gain;
    committed.bias = -best_threshold;
    committed.missing_right = 1;

    Directions child_lineage = std::move(lineage);
    child_lineage.push_back(std::move(best_direction));
    const size_t keep = static_cast<size_t>(b.max_lineage);
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
    const int32_t left = grow_lineage_node(tree, X, grad, hess, std::move(left_rows),
                                           child_lineage, depth + 1, lower, upper, b);
    const int32_t right = grow_lineage_node(tree, X, grad, hess, std::move(right_rows),
                                            std::move(child_lineage), depth + 1, lower, upper, b);
    tree[index].left = left;
    tree[index].right = right;
    return index;
}

void grow_lineage_tree(Tree& tree, const MatrixView& X, const double* grad, const double* hess,
                       const std::vector<int32_t>& rows, Booster& b) {
    grow_lineage_node(tree, X, grad, hess, rows, {}, 0, -kInf, kInf, b);
}

}  // namespace vorlent
