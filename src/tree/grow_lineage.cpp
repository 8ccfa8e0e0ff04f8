#include "tree/grow_lineage.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "decide/monotone.hpp"
#include "decide/newton.hpp"
#include "decide/ranking.hpp"
#include "model/importance.hpp"
#include "model/routing.hpp"
#include "tree/column_sampling.hpp"
#include "tree/cut_placement.hpp"
#include "tree/lineage_direction.hpp"
#include "tree/pair_solver.hpp"
#include "tree/projected_histogram.hpp"
#include "tree/scratch.hpp"

namespace vorlent {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Rows handled together while every pair reads them from cache.
constexpr int32_t kBlockRows = 2048;
// Pairs above which the passes over the rows run in parallel (each pair on its own).
constexpr int64_t kParallelPairs = 16;

// A candidate direction: a feature column (source 0) or a lineage entry (source 1).
struct DirectionCandidate {
    int32_t source = 0;
    int32_t index = 0;
};

// One pair of candidates and everything its evaluation needs.
struct LineagePair {
    int32_t i = 0, j = 0;  // candidate positions, i < j
    PairSums sums;  // over the rows where neither value is missing
    bool solved = false;
    int32_t rising = 0;  // how the projection meets the monotone constraints (monotone_sign)
    double ca = 0, cb = 0, norm = 0;
    double lo = kInf, hi = -kInf;
    bool any_missing = false;
    MissingSums missing;  // of the rows whose projection is NaN, with learn_missing
    int64_t cells = -1;  // first cell of its histogram, -1 without one

    // The cells its histogram lays over [lo, hi].
    ProjectedGrid grid(int32_t bins) const { return ProjectedGrid{lo, (hi - lo) / bins, bins}; }
};

// A row's projection on a unit direction as routing sums it (before the bias), NaN when a
// value it needs is missing.
double routed_projection(const std::vector<double>& d, const double* row) {
    double s = 0.0;
    for (size_t j = 0; j < d.size(); ++j) {
        if (d[j] == 0.0) continue;
        const double x = row[j];
        if (x != x) return kNaN;
        s += x * d[j];
    }
    return s;
}

// Runs body(pair, k0, k1) for every pair over the rows in blocks, each pair seeing its rows
// in order; pairs are spread over threads.
template <class Body>
void for_pairs_by_blocks(std::vector<LineagePair>& pairs, int32_t n, Body&& body) {
    const int64_t m = static_cast<int64_t>(pairs.size());
    parallel_blocks(m, m > kParallelPairs, [&](int64_t p0, int64_t p1) {
        for (int32_t k0 = 0; k0 < n; k0 += kBlockRows) {
            const int32_t k1 = std::min(n, k0 + kBlockRows);
            for (int64_t p = p0; p < p1; ++p) body(pairs[p], k0, k1);
        }
    });
}

// Cuts `columns` down to the `keep` whose values alone explain the node's Newton step best
// (single_column_score; ties to the lower column). One pass over the rows, in row order,
// costs far less than the pairs it saves.
void keep_best_columns(const MatrixView& X, const std::vector<int32_t>& rows, const double* grad,
                       const double* hess, int32_t keep, std::vector<int32_t>& columns) {
    const size_t c_count = columns.size();
    std::vector<double> sums(5 * c_count, 0.0);
    for (int32_t r : rows) {
        const double* row = X.row(r);
        const double h = hess[r];
        const double minus_g = -grad[r];
        for (size_t c = 0; c < c_count; ++c) {
            const double x = row[columns[c]];
            if (std::isnan(x)) continue;
            double* s = sums.data() + 5 * c;
            s[0] += h;
            s[1] += h * x;
            s[2] += h * x * x;
            s[3] += minus_g * x;
            s[4] += minus_g;
        }
    }
    std::vector<double> scores(c_count, 0.0);
    for (size_t c = 0; c < c_count; ++c) {
        const double* s = sums.data() + 5 * c;
        scores[c] = single_column_score(s[0], s[1], s[2], s[3], s[4]);
    }
    std::vector<int32_t> order, kept;
    top_positions(scores.data(), static_cast<int32_t>(c_count), keep, order, kept);
    for (size_t i = 0; i < kept.size(); ++i) kept[i] = columns[kept[i]];
    columns.swap(kept);
}

}  // namespace

int32_t grow_lineage_node(Tree& tree, const MatrixView& X, const double* grad, const double* hess,
                          std::vector<int32_t> rows, Directions lineage, int32_t depth,
                          double lower, double upper, const TreeParams& params, Rng& rng,
                          const TreeOutputs& out) {
    const int32_t n = static_cast<int32_t>(rows.size());
    double G = 0.0, H = 0.0;
    for (int32_t r : rows) {
        G += grad[r];
        H += hess[r];
    }
    const int32_t index = static_cast<int32_t>(tree.size());
    tree.emplace_back();
    tree[index].value = leaf_value(G, H, params.reg_lambda, lower, upper);
    if (!(depth < params.max_depth && n >= params.min_samples)) return index;

    const int32_t n_features = X.n_cols;
    std::vector<int32_t> columns;
    if (depth == 0) {
        columns.resize(static_cast<size_t>(n_features));
        for (int32_t j = 0; j < n_features; ++j) columns[j] = j;
    } else {
        sample_columns(n_features, params.colsample, rng, columns);
    }
    if (ranks_columns(params.max_pair_columns, static_cast<int32_t>(columns.size()))) {
        keep_best_columns(X, rows, grad, hess, params.max_pair_columns, columns);
    }
    std::vector<DirectionCandidate> candidates;
    for (int32_t c : columns) candidates.push_back({0, c});
    for (size_t e = 0; e < lineage.size(); ++e) candidates.push_back({1, static_cast<int32_t>(e)});
    const size_t m = candidates.size();

    // The node's gradients and every candidate's values over the node rows, one column
    // each: lineage entries by their projection, formed once per node.
    std::vector<double> node_grad(n), node_hess(n);
    std::vector<double> values(m * static_cast<size_t>(n));
    std::vector<char> has_nan(m, 0);
    for (int32_t k = 0; k < n; ++k) {
        const double* row = X.row(rows[k]);
        node_grad[k] = grad[rows[k]];
        node_hess[k] = hess[rows[k]];
        for (size_t c = 0; c < columns.size(); ++c) values[c * n + k] = row[columns[c]];
        for (size_t e = 0; e < lineage.size(); ++e) {
            const std::vector<double>& d = lineage[e];
            double s = 0.0;
            for (int32_t f = 0; f < n_features; ++f) {
                if (d[f] != 0.0) s += d[f] * row[f];
            }
            values[(columns.size() + e) * n + k] = s;
        }
    }
    for (size_t c = 0; c < m; ++c) {
        const double* v = values.data() + c * n;
        for (int32_t k = 0; k < n && !has_nan[c]; ++k) has_nan[c] = std::isnan(v[k]);
    }
    auto column_of = [&](int32_t c) { return values.data() + static_cast<size_t>(c) * n; };
    auto direction_of = [&](const DirectionCandidate& c, double scale, std::vector<double>& y) {
        if (c.source == 0) {
            y[c.index] += scale;
        } else {
            const std::vector<double>& d = lineage[c.index];
            for (int32_t f = 0; f < n_features; ++f) y[f] += scale * d[f];
        }
    };

    // The pairs of candidates in batches, in pair order; the best cut over all pairs wins,
    // ties keeping the earlier pair, whatever the batches.
    const double lambda = params.reg_lambda;
    const int32_t bins = params.hist_bins;
    const NodeGradients node{node_grad.data(), node_hess.data(), n, G, H};
    const int64_t batch = std::clamp<int64_t>(kLineageCellBytes / (16 * static_cast<int64_t>(bins)),
                                              1, kLineageBatchPairs);
    std::vector<LineagePair> pairs;
    std::vector<double> cells;
    std::vector<double> projected(static_cast<size_t>(n));
    std::vector<std::pair<int32_t, int32_t>> by_cell;
    std::vector<double> y(static_cast<size_t>(n_features));
    LineagePair best_pair;
    const LineagePair* best = nullptr;
    double best_gain = 0.0;
    auto projection = [&](const LineagePair& p, int32_t k) {
        const double a = column_of(p.i)[k], bv = column_of(p.j)[k];
        if (std::isnan(a) || std::isnan(bv)) return kNaN;
        return (p.ca * a + p.cb * bv) / p.norm;
    };
    // With best_of_kinds every candidate on its own (i == j) follows the pairs, so that
    // equal gains keep a pair.
    size_t next_i = 0, next_j = 1, next_single = 0;
    const size_t singles = params.best_of_kinds ? m : 0;
    auto more = [&] { return next_i + 1 < m || next_single < singles; };
    while (more()) {
        pairs.clear();
        for (; more() && static_cast<int64_t>(pairs.size()) < batch;) {
            LineagePair p;
            if (next_i + 1 < m) {
                p.i = static_cast<int32_t>(next_i);
                p.j = static_cast<int32_t>(next_j);
                if (++next_j == m) {
                    ++next_i;
                    next_j = next_i + 1;
                }
            } else {
                p.i = p.j = static_cast<int32_t>(next_single++);
            }
            pairs.push_back(p);
        }
        // The ridge sums of every pair.
        for_pairs_by_blocks(pairs, n, [&](LineagePair& p, int32_t k0, int32_t k1) {
            if (p.i == p.j) return;  // a single candidate solves nothing
            const double* xa = column_of(p.i);
            const double* xb = column_of(p.j);
            const bool check = has_nan[p.i] || has_nan[p.j];
            for (int32_t k = k0; k < k1; ++k) {
                const double a = xa[k], bv = xb[k];
                if (check && (std::isnan(a) || std::isnan(bv))) continue;
                p.sums.add(a, bv, node_hess[k], -node_grad[k]);
            }
        });
        // The hessian-weighted ridge regression of the Newton step on the centred pair, and
        // the length of the direction it gives over all columns.
        for (LineagePair& p : pairs) {
            if (p.i == p.j) {
                p.ca = 1.0;  // a candidate on its own: its own direction
                p.cb = 0.0;
            } else {
                if (!lineage_ridge(p.sums, lambda, p.ca, p.cb)) continue;
            }
            std::fill(y.begin(), y.end(), 0.0);
            direction_of(candidates[p.i], p.ca, y);
            direction_of(candidates[p.j], p.cb, y);
            double norm_sq = 0.0;
            for (double v : y) norm_sq += v * v;
            p.norm = std::sqrt(norm_sq);
            p.rising = monotone_sign(params.monotone, y);
            p.solved = p.norm >= kTiny && p.rising != kMixedSigns;
        }
        // The range of every projection, then its equal-width histogram.
        for_pairs_by_blocks(pairs, n, [&](LineagePair& p, int32_t k0, int32_t k1) {
            if (!p.solved) return;
            if (!has_nan[p.i] && !has_nan[p.j]) {
                const double* xa = column_of(p.i);
                const double* xb = column_of(p.j);
                double lo = p.lo, hi = p.hi;
                for (int32_t k = k0; k < k1; ++k) {
                    const double v = (p.ca * xa[k] + p.cb * xb[k]) / p.norm;
                    lo = v < lo ? v : lo;
                    hi = v > hi ? v : hi;
                }
                p.lo = lo;
                p.hi = hi;
                return;
            }
            for (int32_t k = k0; k < k1; ++k) {
                const double v = projection(p, k);
                if (std::isnan(v)) {
                    p.any_missing = true;
                    if (params.learn_missing) {
                        p.missing.g += node_grad[k];
                        p.missing.h += node_hess[k];
                    }
                    continue;
                }
                p.lo = v < p.lo ? v : p.lo;
                p.hi = v > p.hi ? v : p.hi;
            }
        });
        // A histogram with far more cells than rows is scanned from the rows ordered by
        // cell instead (the same cut), so that neither its memory nor its time grows with
        // the bins.
        const bool sparse = 2 * static_cast<int64_t>(n) < bins;
        int64_t n_cells = 0;
        for (LineagePair& p : pairs) {
            if (p.solved && p.hi - p.lo >= kTiny) {
                p.cells = n_cells;
                if (!sparse) n_cells += 2 * static_cast<int64_t>(bins);
            }
        }
        cells.assign(static_cast<size_t>(n_cells), 0.0);
        if (!sparse) {
            for_pairs_by_blocks(pairs, n, [&](LineagePair& p, int32_t k0, int32_t k1) {
                if (p.cells < 0) return;
                double* cell = cells.data() + p.cells;
                const ProjectedGrid grid = p.grid(bins);
                for (int32_t k = k0; k < k1; ++k) {
                    const double v = projection(p, k);
                    if (std::isnan(v)) continue;  // scored on the right side, where it is sent
                    const int32_t bin = clamp_bin((v - grid.lo) / grid.step, bins);
                    cell[2 * bin] += node_grad[k];
                    cell[2 * bin + 1] += node_hess[k];
                }
            });
        }
        for (const LineagePair& p : pairs) {
            if (p.cells < 0) continue;
            ProjectedCut cut;
            const ProjectedGrid grid = p.grid(bins);
            if (sparse) {
                for (int32_t k = 0; k < n; ++k) projected[k] = projection(p, k);
                cut = scan_projected_values(projected.data(), node, bins, grid.lo, grid.step,
                                            lambda, by_cell,
                                            params.learn_missing ? &p.missing : nullptr);
            } else {
                // Without learn_missing the missing sums are zero: missing values go right.
                const double* cell = cells.data() + p.cells;
                cut = scan_projected_cells_both_sides(cell, cell + 1, 2, bins, grid.lo, grid.step,
                                                      node, lambda, p.missing);
            }
            if (cut.found && cut.gain > best_gain) {
                best_pair = p;
                best = &best_pair;
                best_gain = cut.gain;
            }
        }
    }
    if (best == nullptr || !(best_gain > kMinGain)) return index;

    std::vector<double> best_direction(static_cast<size_t>(n_features), 0.0);
    direction_of(candidates[best->i], best->ca, best_direction);
    direction_of(candidates[best->j], best->cb, best_direction);
    for (double& v : best_direction) v /= best->norm;

    // The cut is placed again on the projection routing computes, on the cells it was
    // searched on, so that it parts the rows as scored; the rows are then parted by routing
    // itself, and the gain is that of the partition made.
    Node test;
    test.is_leaf = false;
    Directions& projections = *out.projections;
    test.projection = static_cast<int32_t>(projections.size());
    test.missing_right = 1;
    projections.push_back(best_direction);
    std::vector<int32_t> left_rows, right_rows;
    best_gain = 0.0;
    double gl = 0.0, hl = 0.0;
    {
        std::vector<double> z(static_cast<size_t>(n)), placement;
        for (int32_t k = 0; k < n; ++k) z[k] = routed_projection(best_direction, X.row(rows[k]));
        const ProjectedCut cut = placed_projection_cut(z.data(), node, lambda, best->grid(bins),
                                                       placement, by_cell, params.learn_missing);
        test.bias = -cut.threshold;
        test.missing_right = cut.missing_left ? 0 : 1;
        for (int32_t k = 0; k < n && cut.found; ++k) {
            const bool right = goes_right(test, X.row(rows[k]), projections);
            (right ? right_rows : left_rows).push_back(rows[k]);
            if (!right) {
                gl += node_grad[k];
                hl += node_hess[k];
            }
        }
        if (hl > kTiny && H - hl > kTiny) {
            best_gain = cut_gain(gl, hl, G, H, lambda, side_score(G, H, lambda));
        }
    }
    if (!(best_gain > kMinGain)) {
        projections.pop_back();
        return index;
    }

    credit_projection(*out.importances, best_direction, best_gain);
    Node& committed = tree[index];
    committed.projection = test.projection;
    committed.is_leaf = false;
    committed.gain = best_gain;
    committed.bias = test.bias;
    committed.missing_right = test.missing_right;

    const ChildBounds bounds = child_bounds(best->rising, ValueBounds{lower, upper},
                                            SideSums{gl, hl}, SideSums{G - gl, H - hl}, lambda);

    Directions child_lineage = std::move(lineage);
    child_lineage.push_back(std::move(best_direction));
    const size_t keep = static_cast<size_t>(params.max_lineage);
    if (child_lineage.size() > keep) {
        child_lineage.erase(child_lineage.begin(),
                            child_lineage.begin() +
                                static_cast<std::ptrdiff_t>(child_lineage.size() - keep));
    }
    // Release the node's working arrays before recursing.
    rows = {};
    values = {};
    cells = {};
    pairs = {};
    projected = {};
    by_cell = {};
    node_grad = {};
    node_hess = {};
    const int32_t left = grow_lineage_node(tree, X, grad, hess, std::move(left_rows), child_lineage,
                                           depth + 1, bounds.left.lower, bounds.left.upper,
                                           params, rng, out);
    const int32_t right =
        grow_lineage_node(tree, X, grad, hess, std::move(right_rows), std::move(child_lineage),
                          depth + 1, bounds.right.lower, bounds.right.upper, params, rng, out);
    tree[index].left = left;
    tree[index].right = right;
    return index;
}

void grow_lineage_tree(Tree& tree, const MatrixView& X, const double* grad, const double* hess,
                       const std::vector<int32_t>& rows, const TreeParams& params, Rng& rng,
                       const TreeOutputs& out) {
    grow_lineage_node(tree, X, grad, hess, rows, {}, 0, -kInf, kInf, params, rng, out);
}

}  // namespace vorlent
