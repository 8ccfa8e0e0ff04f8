#include "tree/grow_node.hpp"

#include <algorithm>

#include <omp.h>

#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "decide/monotone.hpp"
#include "decide/newton.hpp"
#include "decide/output_pair.hpp"
#include "decide/pair_or_axis.hpp"
#include "decide/ranking.hpp"
#include "model/importance.hpp"
#include "model/routing.hpp"
#include "tree/column_sampling.hpp"
#include "tree/cut_placement.hpp"

namespace vorlent {
namespace {

// Multiclass nodes split on one pair of outputs (decide/output_pair.hpp). Fills the node
// gradients and returns their sums.
void reduce_outputs(const TreeInput& in, const int32_t* rows, int32_t n, int32_t k,
                    TreeWorkspace& ws, double& G, double& H) {
    ws.output_sums.assign(static_cast<size_t>(k), 0.0);
    for (int32_t i = 0; i < n; ++i) {
        const double* g = in.grad + static_cast<int64_t>(rows[i]) * k;
        for (int32_t j = 0; j < k; ++j) ws.output_sums[j] += g[j];
    }
    const auto [p, q] = output_pair(ws.output_sums.data(), k);
    G = 0.0;
    H = 0.0;
    for (int32_t i = 0; i < n; ++i) {
        const int64_t base = static_cast<int64_t>(rows[i]) * k;
        const double g = in.grad[base + p] - in.grad[base + q];
        const double h = in.hess[base + q] + in.hess[base + p];
        ws.node_grad[i] = g;
        ws.node_hess[i] = h;
        G += g;
        H += h;
    }
}

void copy_split(Node& node, const SplitChoice& s) {
    node.gain = s.gain;
    node.is_leaf = false;
    node.kind = s.kind;
    node.feature_a = s.feature_a;
    node.feature_b = s.feature_b;
    node.threshold = s.threshold;
    node.coef_a = s.coef_a;
    node.coef_b = s.coef_b;
    node.bias = s.bias;
    node.missing_right = s.missing_right;
    node.category_values = s.category_values;
}

void make_leaf(Node& node) {
    const double value = node.value;
    node = Node{};
    node.value = value;
}

// A bin whose rows an axis test cannot place without reading their values.
constexpr uint8_t kEitherSide = 2;

// For an axis test: the side every row of each bin of the feature goes to (0 left, 1
// right), or kEitherSide for a bin whose value range straddles the threshold. A bin's
// values v satisfy lower cut <= v < upper cut, so a bin whose upper cut is at most the
// threshold goes left and one whose lower cut is at least the threshold goes right;
// the missing bin goes the way missing values go. Returns false when the codes cannot
// stand in for the values (a feature without cuts whose one bin is also the missing bin).
bool bin_sides(const Node& test, const BinnedMatrix& bins, std::vector<uint8_t>& out) {
    const std::vector<double>& cuts = bins.edges[test.feature_a];
    const int64_t n_cuts = static_cast<int64_t>(cuts.size());
    const bool missing = bins.has_missing[test.feature_a];
    if (missing && n_cuts == 0) return false;
    const double t = test.threshold;
    out.resize(static_cast<size_t>(n_cuts + 2));
    for (int64_t c = 0; c <= n_cuts; ++c) {
        uint8_t side = kEitherSide;
        if (c < n_cuts && cuts[c] <= t) side = 0;
        if (c > 0 && cuts[c - 1] >= t) side = 1;
        out[c] = side;
    }
    out[n_cuts + 1] = test.missing_right != 0 ? 1 : 0;
    return true;
}

// Rows per block of the parallel partition; blocks are fixed, so the partition is the same
// whatever the thread count.
constexpr int64_t kPartitionBlock = 4096;
// How far ahead the passes over a node's scattered rows fetch them.
constexpr int32_t kRoutePrefetch = 64;

// Stable partition of the node's rows in place: left rows keep their order at the front,
// right rows follow in theirs; side[i] is set to 1 for a row that goes right. The test
// reads the matrix at rows scattered over it, which makes routing the costly step, so
// blocks of rows are routed in parallel, then each block copies its rows to their places
// in `spare` (the left rows of the blocks before it come first), and the result is copied
// back. Returns the number of left rows.
int32_t partition_rows(const Node& test, const TreeInput& in, const Directions& projections,
                       int32_t* rows, int32_t n, uint8_t* side, int32_t* spare,
                       TreeWorkspace& ws) {
    const MatrixView& X = *in.X;
    const int32_t column = test.projection >= 0 ? 0 : test.feature_a;
    const int64_t blocks = (n + kPartitionBlock - 1) / kPartitionBlock;
    const bool parallel = blocks > 1;
    std::vector<int32_t>& block_left = ws.block_left;
    block_left.resize(static_cast<size_t>(blocks) + 1);
    // An axis test reads the rows' bin codes, a quarter of the bytes of their values, and
    // the values only for rows in a bin that straddles the threshold.
    const bool by_codes = test.projection < 0 && test.kind == kAxis &&
                          bin_sides(test, *in.bins, ws.bin_sides);
    const uint8_t* bin_side = ws.bin_sides.data();
    const int64_t stride = X.n_cols;
    parallel_for(blocks, parallel, [&](int64_t block) {
        const int64_t i0 = block * kPartitionBlock;
        const int64_t i1 = std::min<int64_t>(n, i0 + kPartitionBlock);
        int32_t left = 0;
        if (by_codes) {
            in.bins->with_codes([&](const auto* all_codes) {
                const auto* codes = all_codes + column;
                for (int64_t i = i0; i < i1; ++i) {
                    if (i + kRoutePrefetch < i1) {
                        __builtin_prefetch(codes + rows[i + kRoutePrefetch] * stride);
                    }
                    uint8_t r = bin_side[codes[rows[i] * stride]];
                    if (r == kEitherSide) r = goes_right(test, X.row(rows[i]), projections) ? 1 : 0;
                    side[i] = r;
                    left += 1 - r;
                }
            });
        } else {
            for (int64_t i = i0; i < i1; ++i) {
                if (i + kRoutePrefetch < i1) {
                    __builtin_prefetch(X.row(rows[i + kRoutePrefetch]) + column);
                }
                const bool r = goes_right(test, X.row(rows[i]), projections);
                side[i] = r ? 1 : 0;
                left += r ? 0 : 1;
            }
        }
        block_left[block] = left;
    });
    // Exclusive prefix: the left rows before each block.
    int32_t n_left = 0;
    for (int64_t block = 0; block < blocks; ++block) {
        const int32_t left = block_left[block];
        block_left[block] = n_left;
        n_left += left;
    }
    if (!parallel || omp_get_max_threads() == 1) {
        // One thread: left rows move up in place, right rows wait in `spare`. Both places
        // are written for every row and only one advances, so the data steers no branch.
        int64_t l = 0, r = 0;
        for (int64_t i = 0; i < n; ++i) {
            const int64_t s = side[i];
            const int32_t row = rows[i];
            rows[l] = row;
            spare[r] = row;
            l += 1 - s;
            r += s;
        }
        std::copy(spare, spare + r, rows + l);
        return n_left;
    }
    parallel_for(blocks, parallel, [&](int64_t block) {
        const int64_t i0 = block * kPartitionBlock;
        const int64_t i1 = std::min<int64_t>(n, i0 + kPartitionBlock);
        // The destination is picked by arithmetic, so the data never steers a branch.
        const int64_t left_out = block_left[block];
        const int64_t right_out = n_left + (i0 - block_left[block]);
        int64_t l = 0, r = 0;
        for (int64_t i = i0; i < i1; ++i) {
            const int64_t s = side[i];
            const int64_t at = left_out + l;
            spare[at + (right_out + r - at) * s] = rows[i];
            l += 1 - s;
            r += s;
        }
    });
    parallel_blocks(n, parallel, [&](int64_t i0, int64_t i1) {
        std::copy(spare + i0, spare + i1, rows + i0);
    });
    return n_left;
}

// Gains within this relative distance of each other are a tie that rounding may break.
constexpr double kTieTolerance = 1e-9;

bool near(double a, double b) { return std::fabs(a - b) <= kTieTolerance * std::fabs(b); }

// Whether the axis search's outcome hangs on a tie that rounding may break: a best gain
// near the least gain that splits, or columns whose best gains nearly match the winner's
// (with `ranked`, nearly match each other's: the ranking reads them all).
bool near_tie(const std::vector<BinCut>& cuts, bool ranked, std::vector<double>& gains) {
    gains.clear();
    for (const BinCut& cut : cuts) {
        if (cut.feature >= 0) gains.push_back(cut.gain);
    }
    std::sort(gains.begin(), gains.end());
    const size_t n = gains.size();
    if (n == 0) return false;
    if (near(gains[n - 1], kMinGain)) return true;
    // Without the ranking only the winner's neighbour matters (and a lone column has none).
    const size_t first = ranked || n < 2 ? 1 : n - 1;
    for (size_t i = first; i < n; ++i) {
        if (near(gains[i - 1], gains[i])) return true;
    }
    return false;
}

// The axis search's outcome and whether it came from subtracted histograms.
struct AxisSplit {
    SplitChoice choice;
    bool subtracted = false;
};

// The axis search on the node's histograms from the stack (see HistogramStack), or on
// histograms it sums itself when the stack has none. Subtraction changes the sums by
// rounding only; a decision that rounding could tip is taken again on the sums over the
// node's rows, as they would have been without subtraction.
AxisSplit axis_split(const NodeSearch& all, const TreeInput& in, bool ranked, bool from_rows,
                     TreeWorkspace& ws) {
    const HistogramInput hin{all.columns, in.bins,  in.X->n_cols, ws.rows.data(),
                             in.grad,     in.hess};
    const HistogramSlot* slot =
        node_histograms(ws.histograms, hin, all.depth, all.rows, *all.node, from_rows);
    NodeSearch search = all;
    if (slot != nullptr) {
        search.bin_cells = slot->cells.data();
        search.bin_offsets = ws.histograms.offsets.data();
    }
    AxisSplit out{search_axis_split(search, ws.scratch, ws.search),
                  slot != nullptr && slot->subtracted};
    if (out.subtracted && near_tie(ws.search.column_cuts, ranked, ws.tied_gains)) {
        return axis_split(all, in, ranked, true, ws);
    }
    return out;
}

// The node's split: the oblique search's, or the axis search's when no pair gains (with
// best_of_kinds, also when the axis split gains strictly more). With max_pair_columns below
// the node's column count the axis search runs first: its per-column gains rank the
// columns (they cost one histogram pass, far less than pairing every column), only the
// best max_pair_columns columns are paired, and its result stands in when no pair gains.
SplitChoice choose_split(const NodeSearch& all, const TreeInput& in, const TreeParams& params,
                         TreeWorkspace& ws) {
    const int32_t c_count = static_cast<int32_t>(ws.columns.size());
    const bool ranked = ranks_columns(params.max_pair_columns, c_count);
    const bool axis_first = ranked || params.best_of_kinds;
    NodeSearch paired = all;
    AxisSplit axis;
    if (axis_first) axis = axis_split(all, in, ranked, false, ws);
    if (ranked) {
        ws.column_gains.resize(static_cast<size_t>(c_count));
        for (int32_t i = 0; i < c_count; ++i) ws.column_gains[i] = ws.search.column_cuts[i].gain;
        top_positions(ws.column_gains.data(), c_count, params.max_pair_columns, ws.rank_order,
                      ws.top_columns);
        ws.pair_columns.clear();
        for (int32_t pos : ws.top_columns) ws.pair_columns.push_back(ws.columns[pos]);
        paired.columns = &ws.pair_columns;
        paired.ranked = true;
    }
    SplitChoice split = search_oblique_split(paired, ws.scratch, ws.search);
    // The search scores single-precision copies of the values; routing reads the values.
    const bool pair = split.kind == kLinearPair || split.kind == kCategoryPair;
    if (pair && cut_gains(split.gain) &&
        !place_pair_cut(split, *all.X, all.rows, *all.node, params.reg_lambda, ws.pair_values,
                        ws.pair_cells, ws.pair_order, params.learn_missing)) {
        split = SplitChoice{};
    }
    // Without best_of_kinds the axis cut is searched only now, when the pair cut loses.
    const double pair_gain = split.kind == kNoSplit ? 0.0 : split.gain;
    if (params.best_of_kinds && axis.subtracted && near(axis.choice.gain, split.gain)) {
        axis = axis_split(all, in, ranked, true, ws);
    }
    if (!pair_cut_wins(pair_gain, axis.choice.gain, params.best_of_kinds)) {
        split = axis_first ? axis.choice : axis_split(all, in, false, false, ws).choice;
    }
    return split;
}

}  // namespace

void class_leaf_values(Node& node, const double* grad, const double* hess, const int32_t* rows,
                       int32_t n, int32_t n_outputs, double lambda) {
    node.leaf_values.assign(static_cast<size_t>(n_outputs), 0.0);
    for (int32_t j = 0; j < n_outputs; ++j) {
        double g = 0.0, h = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            const int64_t at = static_cast<int64_t>(rows[i]) * n_outputs + j;
            g += grad[at];
            h += hess[at];
        }
        node.leaf_values[j] = newton_value(g, h, lambda);
    }
}

int32_t grow_node(Tree& tree, const TreeInput& in, int32_t begin, int32_t end, int32_t depth,
                  const TreeParams& params, Rng& rng, const TreeOutputs& out, double lower,
                  double upper, TreeWorkspace& ws) {
    const int32_t n = end - begin;
    const int32_t* rows = ws.rows.data() + begin;
    const bool multiclass = params.multiclass;
    const double lambda = params.reg_lambda;

    // A node that may split gathers its gradients; the sums come out of the same pass.
    const bool may_split = depth < params.max_depth && n >= params.min_samples;
    double G = 0.0, H = 0.0;
    if (may_split) {
        ws.node_grad.resize(static_cast<size_t>(n));
        ws.node_hess.resize(static_cast<size_t>(n));
    }
    if (multiclass) {
        if (may_split) reduce_outputs(in, rows, n, params.n_outputs, ws, G, H);
    } else {
        double g_sum = 0.0, h_sum = 0.0;
        if (may_split) {
            // The gather reads scattered rows, so it runs in parallel blocks; the sums then
            // run over the gathered copies in row order.
            double* node_grad = ws.node_grad.data();
            double* node_hess = ws.node_hess.data();
            parallel_blocks(n, n > kPartitionBlock, [&](int64_t i0, int64_t i1) {
                for (int64_t i = i0; i < i1; ++i) {
                    if (i + kRoutePrefetch < i1) {
                        __builtin_prefetch(in.grad + rows[i + kRoutePrefetch]);
                        __builtin_prefetch(in.hess + rows[i + kRoutePrefetch]);
                    }
                    node_grad[i] = in.grad[rows[i]];
                    node_hess[i] = in.hess[rows[i]];
                }
            });
            for (int32_t i = 0; i < n; ++i) {
                g_sum += node_grad[i];
                h_sum += node_hess[i];
            }
        } else {
            for (int32_t i = 0; i < n; ++i) {
                g_sum += in.grad[rows[i]];
                h_sum += in.hess[rows[i]];
            }
        }
        G = g_sum;
        H = h_sum;
    }
    const int32_t index = static_cast<int32_t>(tree.size());
    tree.emplace_back();
    tree[index].value = multiclass ? 0.0 : leaf_value(G, H, lambda, lower, upper);

    auto finish_leaf = [&]() {
        ws.leaves.push_back(LeafRange{index, begin, end});
        if (multiclass) {
            class_leaf_values(tree[index], in.grad, in.hess, rows, n, params.n_outputs, lambda);
        }
        return index;
    };
    if (depth == 0) {
        // Subtraction needs the parent's histograms over every column the children search,
        // and one pair of outputs for the whole tree.
        start_histograms(ws.histograms, *in.bins, params.max_depth,
                         !multiclass && !(params.colsample < 1.0));
    }
    if (!may_split) return finish_leaf();
    if (ws.scratch.empty()) ws.scratch.resize(1);

    const NodeGradients node{ws.node_grad.data(), ws.node_hess.data(), n, G, H};

    sample_columns(in.X->n_cols, params.colsample, rng, ws.features);
    const size_t c_count = ws.features.size();
    // Column values are materialised by the oblique search, which alone reads them.
    ws.columns.resize(c_count);
    for (size_t i = 0; i < c_count; ++i) ws.columns[i] = FeatureColumn{ws.features[i], nullptr, false};

    const NodeSearch search{&ws.columns, &node, in.X, rows, in.bins, &params, depth};
    const SplitChoice split = choose_split(search, in, params, ws);
    if (!cut_gains(split.gain) || split.kind == kNoSplit) return finish_leaf();

    copy_split(tree[index], split);
    const Node& test = tree[index];
    int32_t* node_rows = ws.rows.data() + begin;
    uint8_t* side = grow(ws.sides, static_cast<size_t>(n));
    const int32_t n_left = partition_rows(test, in, *out.projections, node_rows, n, side,
                                          grow(ws.spare_rows, static_cast<size_t>(n)), ws);
    if (n_left == 0 || n_left == n) {
        make_leaf(tree[index]);
        return finish_leaf();
    }

    credit_split(*out.importances, out.n_features, tree[index]);

    const int32_t direction = split_constraint(tree[index], params.monotone);
    SideSums left_sums, right_sums;
    if (direction != 0) {
        // The left side's sums, in row order, bound the children.
        for (int32_t i = 0; i < n; ++i) {
            if (side[i] == 0) {
                left_sums.g += ws.node_grad[i];
                left_sums.h += ws.node_hess[i];
            }
        }
        right_sums = SideSums{G - left_sums.g, H - left_sums.h};
    }
    const ChildBounds bounds =
        child_bounds(direction, ValueBounds{lower, upper}, left_sums, right_sums, lambda);
    const int32_t split_at = begin + n_left;
    open_children(ws.histograms, depth, begin, split_at, end);
    enter_child(ws.histograms, depth + 1, 0);
    const int32_t left = grow_node(tree, in, begin, split_at, depth + 1, params, rng, out,
                                   bounds.left.lower, bounds.left.upper, ws);
    enter_child(ws.histograms, depth + 1, 1);
    const int32_t right_child = grow_node(tree, in, split_at, end, depth + 1, params, rng, out,
                                          bounds.right.lower, bounds.right.upper, ws);
    tree[index].left = left;
    tree[index].right = right_child;
    return index;
}

}  // namespace vorlent
