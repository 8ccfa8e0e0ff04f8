#include "tree/histogram_stack.hpp"

#include <algorithm>
#include <cmath>

#include "common/parallel.hpp"
#include "tree/bin_histogram.hpp"
#include "tree/column_values.hpp"

namespace vorlent {
namespace {

void allocate(HistogramSlot& slot, int64_t n_bins) {
    grow(slot.cells, 2 * static_cast<size_t>(n_bins));
    grow(slot.counts, static_cast<size_t>(n_bins));
}

// Sums the slot's histograms from the rows, columns in contiguous groups over the threads:
// every cell adds its rows in row order, whatever the thread count.
void sum_rows(HistogramSlot& slot, const HistogramStack& stack, const HistogramInput& in,
              const int32_t* rows, const NodeGradients& node) {
    const std::vector<FeatureColumn>& cols = *in.columns;
    const int64_t c_count = static_cast<int64_t>(cols.size());
    allocate(slot, stack.offsets.back());
    const bool parallel = c_count > 1 && c_count * node.n > kParallelMomentCells;
    parallel_blocks(c_count, parallel, [&](int64_t c0, int64_t c1) {
        in.bins->with_codes([&](const auto* codes) {
            build_bin_histograms(cols, c0, c1, stack.offsets.data(), in.n_features, codes, rows,
                                 node, slot.cells.data(), slot.counts.data());
        });
    });
    slot.valid = true;
    slot.subtracted = false;
}

// Sums the histograms of the node's sibling from the sibling's rows.
void sum_sibling(HistogramSlot& slot, HistogramStack& stack, const HistogramInput& in,
                 int32_t begin, int32_t end) {
    const int32_t n = end - begin;
    const int32_t* rows = in.all_rows + begin;
    double* grad = grow(stack.grad, static_cast<size_t>(n));
    double* hess = grow(stack.hess, static_cast<size_t>(n));
    for (int32_t k = 0; k < n; ++k) {
        grad[k] = in.grad[rows[k]];
        hess[k] = in.hess[rows[k]];
    }
    sum_rows(slot, stack, in, rows, NodeGradients{grad, hess, n, 0.0, 0.0});
}

// The slot as the parent's minus the sibling's; false when that cannot stand in for the
// sums over the rows (subtract_bin_histograms). One pass over the bins costs little beside
// summing any node's rows.
bool subtract(HistogramSlot& slot, const HistogramSlot& parent, const HistogramSlot& sibling,
              int64_t n_bins) {
    allocate(slot, n_bins);
    slot.valid = true;
    slot.subtracted = true;
    return subtract_bin_histograms(parent.cells.data(), parent.counts.data(),
                                   sibling.cells.data(), sibling.counts.data(), n_bins,
                                   slot.cells.data(), slot.counts.data());
}

}  // namespace

void start_histograms(HistogramStack& stack, const BinnedMatrix& bins, int32_t max_depth,
                      bool subtract) {
    const int32_t n_features = static_cast<int32_t>(bins.bin_low.size());
    stack.offsets.resize(static_cast<size_t>(n_features) + 1);
    stack.offsets[0] = 0;
    for (int32_t f = 0; f < n_features; ++f) {
        stack.offsets[f + 1] = stack.offsets[f] + static_cast<int32_t>(bins.bin_low[f].size());
    }
    // Nodes at max_depth never split, so no level is kept for them.
    const double level_bytes = 2.0 * 24.0 * std::max(stack.offsets.back(), 1);
    const double fit = std::floor(kHistogramStackBytes / level_bytes);
    const auto n_levels =
        subtract ? static_cast<size_t>(std::clamp<double>(fit, 0.0, std::max(max_depth, 0))) : 0;
    stack.subtract = subtract && n_levels > 0;
    if (stack.levels.size() < n_levels) stack.levels.resize(n_levels);
    stack.kept = n_levels;
    // Every level is allocated up front, so that no later node allocates.
    for (size_t d = 0; d < n_levels; ++d) {
        for (HistogramSlot& slot : stack.levels[d].child) {
            allocate(slot, stack.offsets.back());
            slot.valid = false;
        }
    }
    if (n_levels > 0) stack.levels[0].side = 0;
}

void open_children(HistogramStack& stack, int32_t depth, int32_t begin, int32_t split,
                   int32_t end) {
    const auto at = static_cast<size_t>(depth) + 1;
    if (at >= stack.kept) return;
    HistogramLevel& level = stack.levels[at];
    level.child[0].valid = false;
    level.child[1].valid = false;
    level.begin = begin;
    level.split = split;
    level.end = end;
}

void enter_child(HistogramStack& stack, int32_t depth, int32_t side) {
    if (static_cast<size_t>(depth) < stack.kept) stack.levels[depth].side = side;
}

const HistogramSlot* node_histograms(HistogramStack& stack, const HistogramInput& in,
                                     int32_t depth, const int32_t* rows,
                                     const NodeGradients& node, bool from_rows) {
    if (!stack.subtract || static_cast<size_t>(depth) >= stack.kept) return nullptr;
    HistogramLevel& level = stack.levels[depth];
    const int32_t side = level.side;
    HistogramSlot& own = level.child[side];
    if (from_rows) {
        sum_rows(own, stack, in, rows, node);
        return &own;
    }
    if (own.valid) return &own;
    const HistogramSlot* parent = nullptr;
    if (depth > 0) {
        const HistogramLevel& up = stack.levels[depth - 1];
        if (up.child[up.side].valid) parent = &up.child[up.side];
    }
    const int32_t n_left = level.split - level.begin;
    const int32_t n_right = level.end - level.split;
    // The smaller child is summed from its rows, the left one on a tie.
    const bool larger = side == 0 ? n_left > n_right : n_right >= n_left;
    if (parent == nullptr || !larger) {
        sum_rows(own, stack, in, rows, node);
        return &own;
    }
    HistogramSlot& sibling = level.child[1 - side];
    if (!sibling.valid) {
        if (side == 0) {
            sum_sibling(sibling, stack, in, level.split, level.end);
        } else {
            sum_sibling(sibling, stack, in, level.begin, level.split);
        }
    }
    if (!subtract(own, *parent, sibling, stack.offsets.back())) {
        sum_rows(own, stack, in, rows, node);
    }
    return &own;
}

}  // namespace vorlent
