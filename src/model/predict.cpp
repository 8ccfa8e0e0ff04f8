#include "model/predict.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/parallel.hpp"
#include "model/packed_forest.hpp"
#include "model/routing.hpp"

namespace vorlent {
namespace {

// Rows predicted together, tree after tree, while their feature rows stay in cache.
constexpr int64_t kChunkRows = 256;

// Walks rows [begin, end) through one tree, four rows side by side, and adds each
// reached leaf's value times the learning rate to the row's score.
void add_tree_single(const PackedTree& packed, const Tree& tree, const Directions& projections,
                     const MatrixView& X, double learning_rate, int64_t begin, int64_t end,
                     double* out) {
    int64_t r = begin;
    for (; r + 4 <= end; r += 4) {
        const double* row0 = X.row(r);
        const double* row1 = X.row(r + 1);
        const double* row2 = X.row(r + 2);
        const double* row3 = X.row(r + 3);
        int32_t i0 = packed.root, i1 = packed.root, i2 = packed.root, i3 = packed.root;
        while ((i0 & i1 & i2 & i3) >= 0) {
            // At least one of the four is still at an internal node.
            if (i0 >= 0) {
                const PackedNode& p = packed.nodes[i0];
                i0 = p.child[packed_goes_right(p, row0, tree, projections)];
            }
            if (i1 >= 0) {
                const PackedNode& p = packed.nodes[i1];
                i1 = p.child[packed_goes_right(p, row1, tree, projections)];
            }
            if (i2 >= 0) {
                const PackedNode& p = packed.nodes[i2];
                i2 = p.child[packed_goes_right(p, row2, tree, projections)];
            }
            if (i3 >= 0) {
                const PackedNode& p = packed.nodes[i3];
                i3 = p.child[packed_goes_right(p, row3, tree, projections)];
            }
        }
        out[r] = packed.leaf_value[~i0] * learning_rate + out[r];
        out[r + 1] = packed.leaf_value[~i1] * learning_rate + out[r + 1];
        out[r + 2] = packed.leaf_value[~i2] * learning_rate + out[r + 2];
        out[r + 3] = packed.leaf_value[~i3] * learning_rate + out[r + 3];
    }
    for (; r < end; ++r) {
        const int32_t leaf = packed_find_leaf(packed, tree, X.row(r), projections);
        out[r] = packed.leaf_value[leaf] * learning_rate + out[r];
    }
}

void predict_chunk(const Model& m, const std::vector<PackedTree>& packed, const MatrixView& X,
                   size_t n_trees, int64_t begin, int64_t end, double* out) {
    const std::vector<double> start = start_scores(m);
    if (m.objective != kMulticlass) {
        for (int64_t r = begin; r < end; ++r) out[r] = start[0];
        for (size_t t = 0; t < n_trees; ++t) {
            add_tree_single(packed[t], m.trees[t], m.projections, X, m.learning_rate, begin, end,
                            out);
        }
        return;
    }
    const int64_t k = m.n_outputs;
    for (int64_t r = begin; r < end; ++r) {
        for (int64_t j = 0; j < k; ++j) out[r * k + j] = start[j];
    }
    if (k <= 0) return;
    for (size_t t = 0; t < n_trees; ++t) {
        const Tree& tree = m.trees[t];
        for (int64_t r = begin; r < end; ++r) {
            const int32_t slot = packed_find_leaf(packed[t], tree, X.row(r), m.projections);
            const Node& leaf = tree[packed[t].leaf_node[slot]];
            if (static_cast<int64_t>(leaf.leaf_values.size()) != k) continue;
            for (int64_t j = 0; j < k; ++j) {
                out[r * k + j] = leaf.leaf_values[j] * m.learning_rate + out[r * k + j];
            }
        }
    }
}

void predict_block(const Model& m, const MatrixView& X, size_t n_trees, int64_t begin, int64_t end,
                   double* out, StopPoll& stop) {
    // The packed trees are refreshed with every change of the model; a model changed
    // without a refresh is packed here instead of predicting from stale copies.
    std::vector<PackedTree> fresh;
    const std::vector<PackedTree>* packed = &m.packed;
    if (m.packed.size() != m.trees.size()) {
        for (const Tree& tree : m.trees) fresh.push_back(pack_tree(tree));
        packed = &fresh;
    }
    for (int64_t c0 = begin; c0 < end; c0 += kChunkRows) {
        if (stop.stopped()) return;
        predict_chunk(m, *packed, X, n_trees, c0, std::min(end, c0 + kChunkRows), out);
    }
}

}  // namespace

std::vector<double> start_scores(const Model& model) {
    if (model.objective != kMulticlass) return {model.base_score};
    const auto k = static_cast<size_t>(std::max(model.n_outputs, 0));
    if (model.base_scores.size() == k) return model.base_scores;
    return std::vector<double>(k, 0.0);
}

void predict_scores(const Model& model, const MatrixView& X, double* out, int32_t n_trees,
                    const StopCheck& stop) {
    const size_t used = trees_used(model, n_trees);
    StopPoll poll(stop);
    parallel_blocks(X.n_rows, X.n_rows > kParallelRows, poll, [&](int64_t begin, int64_t end) {
        predict_block(model, X, used, begin, end, out, poll);
    });
}

void predict_raw(const Model& model, const MatrixView& X, double* out, int32_t n_trees,
                 const StopCheck& stop) {
    predict_scores(model, X, out, n_trees, stop);
    if (!clamps_raw_scores(model)) return;
    for (int64_t r = 0; r < X.n_rows; ++r) {
        const double s = out[r];
        if (model.clip_low > s) {
            out[r] = model.clip_low;
        } else if (model.clip_high < s) {
            out[r] = model.clip_high;
        }
    }
}

void softmax_row(const double* scores, int32_t k, double* out) {
    double m = scores[0];
    for (int32_t j = 1; j < k; ++j) {
        if (scores[j] > m) m = scores[j];
    }
    double sum = 0.0;
    for (int32_t j = 0; j < k; ++j) sum += std::exp(scores[j] - m);
    for (int32_t j = 0; j < k; ++j) out[j] = std::exp(scores[j] - m) / sum;
}

void predict_proba(const Model& model, const MatrixView& X, double* out, int32_t n_trees,
                   const StopCheck& stop) {
    const int64_t n = X.n_rows;
    if (model.objective == kMulticlass) {
        const int32_t k = model.n_outputs;
        std::vector<double> raw(static_cast<size_t>(n) * static_cast<size_t>(k));
        predict_scores(model, X, raw.data(), n_trees, stop);
        if (k <= 0) return;
        parallel_for(n, n * k > kParallelValues,
                     [&](int64_t r) { softmax_row(raw.data() + r * k, k, out + r * k); });
        return;
    }
    std::vector<double> raw(static_cast<size_t>(n));
    predict_scores(model, X, raw.data(), n_trees, stop);
    parallel_for(n, n > kParallelRows, [&](int64_t r) {
        const double p = 1.0 / (std::exp(-raw[r]) + 1.0);
        out[2 * r] = 1.0 - p;
        out[2 * r + 1] = p;
    });
}

}  // namespace vorlent
