#include "model/predict.hpp"

#include <cmath>
#include <vector>

#include "common/parallel.hpp"
#include "model/routing.hpp"

namespace vorlent {
namespace {

// Walks rows [begin, end) through one tree, four rows side by side, and adds each
// reached leaf's value times the learning rate to the row's score.
void add_tree_single(const Tree& tree, const Directions& projections, const MatrixView& X,
                     double learning_rate, int64_t begin, int64_t end, double* out) {
    int64_t r = begin;
    for (; r + 4 <= end; r += 4) {
        const double* row0 = X.row(r);
        const double* row1 = X.row(r + 1);
        const double* row2 = X.row(r + 2);
        const double* row3 = X.row(r + 3);
        int32_t i0 = 0, i1 = 0, i2 = 0, i3 = 0;
        for (;;) {
            const Node& n0 = tree[i0];
            const Node& n1 = tree[i1];
            const Node& n2 = tree[i2];
            const Node& n3 = tree[i3];
            if (n0.is_leaf && n1.is_leaf && n2.is_leaf && n3.is_leaf) break;
            if (!n0.is_leaf) i0 = goes_right(n0, row0, projections) ? n0.right : n0.left;
            if (!n1.is_leaf) i1 = goes_right(n1, row1, projections) ? n1.right : n1.left;
            if (!n2.is_leaf) i2 = goes_right(n2, row2, projections) ? n2.right : n2.left;
            if (!n3.is_leaf) i3 = goes_right(n3, row3, projections) ? n3.right : n3.left;
        }
        out[r] = tree[i0].value * learning_rate + out[r];
        out[r + 1] = tree[i1].value * learning_rate + out[r + 1];
        out[r + 2] = tree[i2].value * learning_rate + out[r + 2];
        out[r + 3] = tree[i3].value * learning_rate + out[r + 3];
    }
    for (; r < end; ++r) {
        const int32_t leaf = find_leaf(tree, X.row(r), projections);
        out[r] = tree[leaf].value * learning_rate + out[r];
    }
}

void predict_block(const Booster& b, const MatrixView& X, int64_t begin, int64_t end,
                   double* out) {
    if (b.objective != kMulticlass) {
        for (int64_t r = begin; r < end; ++r) out[r] = b.base_score;
        for (const Tree& tree : b.trees) {
            add_tree_single(tree, b.projections, X, b.learning_rate, begin, end, out);
        }
        return;
    }
    const int64_t k = b.n_outputs;
    const bool has_base = static_cast<int64_t>(b.base_scores.size()) == k;
    for (int64_t r = begin; r < end; ++r) {
        for (int64_t j = 0; j < k; ++j) out[r * k + j] = has_base ? b.base_scores[j] : 0.0;
    }
    for (const Tree& tree : b.trees) {
        for (int64_t r = begin; r < end; ++r) {
            const Node& leaf = tree[find_leaf(tree, X.row(r), b.projections)];
            if (k <= 0 || static_cast<int64_t>(leaf.leaf_values.size()) != k) continue;
            for (int64_t j = 0; j < k; ++j) {
                out[r * k + j] = leaf.leaf_values[j] * b.learning_rate + out[r * k + j];
            }
        }
    }
}

}  // namespace

void predict_scores(const Booster& booster, const MatrixView& X, double* out) {
    parallel_blocks(X.n_rows, X.n_rows > kParallelRows,
                    [&](int64_t begin, int64_t end) { predict_block(booster, X, begin, end, out); });
}

void predict_raw(const Booster& booster, const MatrixView& X, double* out) {
    predict_scores(booster, X, out);
    if (booster.objective == kMulticlass || booster.clip == 0) return;
    for (int64_t r = 0; r < X.n_rows; ++r) {
        const double s = out[r];
        if (booster.clip_low > s) {
            out[r] = booster.clip_low;
        } else if (booster.clip_high < s) {
            out[r] = booster.clip_high;
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

void predict_proba(const Booster& booster, const MatrixView& X, double* out) {
    const int64_t n = X.n_rows;
    if (booster.objective == kMulticlass) {
        const int32_t k = booster.n_outputs;
        std::vector<double> raw(static_cast<size_t>(n) * static_cast<size_t>(k));
        predict_scores(booster, X, raw.data());
        if (k <= 0) return;
        parallel_for(n, n * k > kParallelValues,
                     [&](int64_t r) { softmax_row(raw.data() + r * k, k, out + r * k); });
        return;
    }
    std::vector<double> raw(static_cast<size_t>(n));
    predict_scores(booster, X, raw.data());
    parallel_for(n, n > kParallelRows, [&](int64_t r) {
        const double p = 1.0 / (std::exp(-raw[r]) + 1.0);
        out[2 * r] = 1.0 - p;
        out[2 * r + 1] = p;
    });
}

}  // namespace vorlent
