#include "model/explain.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/parallel.hpp"
#include "model/predict.hpp"
#include "model/routing.hpp"

namespace vorlent {
namespace {

// The columns credited on one root-to-leaf path and their weights, in path order.
// Sized once per worker for the deepest path of the model: a node credits at most two
// columns, so no credit is ever dropped.
struct CreditList {
    std::vector<int32_t> column;
    std::vector<double> weight;
    int32_t capacity = 0;
};

// Walks one row through one tree, recording credits, then adds the leaf's share to the
// row's output. Returns nothing; a path without credit leaves the row unchanged.
inline void explain_tree(const Tree& tree, const Directions& projections, double learning_rate,
                         const double* row, double* out_row, CreditList& credits) {
    int32_t* column = credits.column.data();
    double* weight = credits.weight.data();
    const int32_t capacity = credits.capacity;
    int32_t n = 0;
    double total = 0.0;
    int32_t i = 0;
    while (!tree[i].is_leaf) {
        const Node& node = tree[i];
        if (node.projection < 0) {
            if (node.kind == kAxis) {
                const double v = row[node.feature_a];
                if (v == v && n < capacity) {
                    column[n] = node.feature_a;
                    weight[n] = node.gain;
                    total += node.gain;
                    ++n;
                }
            } else {
                const double a = row[node.feature_a];
                const double b = row[node.feature_b];
                if (a == a && b == b && n + 1 < capacity) {
                    const double wa = std::fabs(node.coef_a) * node.gain;
                    const double wb = std::fabs(node.coef_b) * node.gain;
                    column[n] = node.feature_a;
                    weight[n] = wa;
                    column[n + 1] = node.feature_b;
                    weight[n + 1] = wb;
                    total += wa;
                    total += wb;
                    n += 2;
                }
            }
        }
        i = goes_right(node, row, projections) ? node.right : node.left;
    }
    if (!(total > 0.0)) return;
    const double u = tree[i].value * learning_rate;
    for (int32_t k = 0; k < n; ++k)
        out_row[column[k]] = (u * weight[k]) / total + out_row[column[k]];
}

void explain_block(const Booster& b, const MatrixView& X, int64_t begin, int64_t end, double* out) {
    const int64_t n_cols = X.n_cols;
    std::fill(out + begin * n_cols, out + end * n_cols, 0.0);
    CreditList credits;
    credits.capacity = 2 * std::max(b.deepest_path, 0);
    if (credits.capacity == 0) return;
    credits.column.resize(credits.capacity);
    credits.weight.resize(credits.capacity);
    for (int64_t r = begin; r < end; ++r) {
        const double* row = X.row(r);
        double* out_row = out + r * n_cols;
        for (const Tree& tree : b.trees) {
            explain_tree(tree, b.projections, b.learning_rate, row, out_row, credits);
        }
    }
}

}  // namespace

void explain(const Booster& booster, const MatrixView& X, double* out) {
    parallel_blocks(X.n_rows, X.n_rows > kParallelRows, [&](int64_t begin, int64_t end) {
        explain_block(booster, X, begin, end, out);
    });
}

}  // namespace vorlent
