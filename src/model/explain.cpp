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

// Rows that walk each tree side by side, so that one row's unpredictable branches overlap
// with the others' work.
constexpr int kLanes = 4;
// Rows explained together, tree by tree.
constexpr int64_t kChunkRows = 64;

// The columns credited on one root-to-leaf path and their weights, in path order.
// Sized once per worker for the deepest path of the model: a node credits at most two
// columns, so no credit is ever dropped. The capacity check only guards against
// model facts that were not refreshed.
struct PathCredits {
    int32_t* column;
    double* weight;
    int32_t capacity;
    int32_t count;
    double total;
};

inline void record_credit(const Node& node, const double* row, PathCredits& path) {
    if (node.projection >= 0) return;
    if (node.kind == kAxis) {
        const double v = row[node.feature_a];
        if (v != v || path.count >= path.capacity) return;
        path.column[path.count] = node.feature_a;
        path.weight[path.count] = node.gain;
        path.total += node.gain;
        ++path.count;
        return;
    }
    const double a = row[node.feature_a];
    const double b = row[node.feature_b];
    if (a != a || b != b || path.count + 1 >= path.capacity) return;
    const double wa = std::fabs(node.coef_a) * node.gain;
    const double wb = std::fabs(node.coef_b) * node.gain;
    path.column[path.count] = node.feature_a;
    path.weight[path.count] = wa;
    path.column[path.count + 1] = node.feature_b;
    path.weight[path.count + 1] = wb;
    path.total += wa;
    path.total += wb;
    path.count += 2;
}

// Adds the leaf's contribution to the row's credited columns in recording order.
inline void share_leaf(const PathCredits& path, double leaf_value, double learning_rate,
                       double* out_row) {
    if (!(path.total > 0.0)) return;
    const double u = leaf_value * learning_rate;
    for (int32_t k = 0; k < path.count; ++k) {
        const int32_t c = path.column[k];
        out_row[c] = (u * path.weight[k]) / path.total + out_row[c];
    }
}

// Walks `lanes` consecutive rows starting at `r` through one tree side by side, then
// adds each row's leaf share.
template <int lanes>
void explain_tree(const Tree& tree, const Model& m, const MatrixView& X, int64_t r, double* out,
                  PathCredits* path) {
    const double* row[lanes];
    int32_t node[lanes];
    for (int l = 0; l < lanes; ++l) {
        row[l] = X.row(r + l);
        node[l] = 0;
        path[l].count = 0;
        path[l].total = 0.0;
    }
    for (;;) {
        bool walking = false;
        for (int l = 0; l < lanes; ++l) {
            const Node& n = tree[node[l]];
            if (n.is_leaf) continue;
            walking = true;
            record_credit(n, row[l], path[l]);
            node[l] = next_node(n, row[l], m.projections);
        }
        if (!walking) break;
    }
    for (int l = 0; l < lanes; ++l) {
        share_leaf(path[l], tree[node[l]].value, m.learning_rate, out + (r + l) * X.n_cols);
    }
}

void explain_block(const Model& m, const MatrixView& X, size_t n_trees, int64_t begin, int64_t end,
                   double* out, StopPoll& stop) {
    const int32_t capacity = 2 * std::max(m.deepest_path, 0);
    if (capacity == 0) {
        std::fill(out + begin * X.n_cols, out + end * X.n_cols, 0.0);
        return;
    }
    std::vector<int32_t> column(static_cast<size_t>(kLanes) * capacity);
    std::vector<double> weight(static_cast<size_t>(kLanes) * capacity);
    PathCredits path[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        path[l].column = column.data() + l * capacity;
        path[l].weight = weight.data() + l * capacity;
        path[l].capacity = capacity;
    }
    // Trees outside, rows inside, over chunks small enough that the chunk's rows and
    // outputs stay in cache while each tree's nodes are reused by every row.
    for (int64_t chunk = begin; chunk < end; chunk += kChunkRows) {
        if (stop.stopped()) return;
        const int64_t chunk_end = std::min(end, chunk + kChunkRows);
        std::fill(out + chunk * X.n_cols, out + chunk_end * X.n_cols, 0.0);
        for (size_t t = 0; t < n_trees; ++t) {
            const Tree& tree = m.trees[t];
            int64_t r = chunk;
            for (; r + kLanes <= chunk_end; r += kLanes) {
                explain_tree<kLanes>(tree, m, X, r, out, path);
            }
            for (; r < chunk_end; ++r) explain_tree<1>(tree, m, X, r, out, path);
        }
    }
}

}  // namespace

void explain(const Model& model, const MatrixView& X, double* out, int32_t n_trees,
             const StopCheck& stop) {
    const size_t used = trees_used(model, n_trees);
    StopPoll poll(stop);
    parallel_blocks(X.n_rows, X.n_rows > kParallelRows, poll, [&](int64_t begin, int64_t end) {
        explain_block(model, X, used, begin, end, out, poll);
    });
}

}  // namespace vorlent
