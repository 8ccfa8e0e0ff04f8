#include "model/interaction.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/parallel.hpp"
#include "model/routing.hpp"
#include "model/shapley.hpp"
#include "model/shapley_plan.hpp"
#include "model/shapley_weights.hpp"

// With one column per split, a leaf's share of the path-dependent value of coalition S is
// the product over the path's columns k of o_k (k in S: 1 when the row follows every split
// on k, else 0) or c_k (k not in S: the covered share that follows them). For such a
// product the Shapley interaction index of i and j is
//     (o_i - c_i)(o_j - c_j) * integral_0^1 prod_{k != i, j} (c_k + t (o_k - c_k)) dt
// (the Beta integral gives the coalition weights), and the Shapley value of i the same
// with one factor less. The integrands are polynomials of degree below the path's number
// of columns, so the leaf's Gauss-Legendre rule integrates them exactly; products leaving
// out one or two factors come from prefix and suffix products, without any division.

namespace vorlent {
namespace {

// Rows above which rows are spread over threads.
constexpr int64_t kParallelRows = 16;

// Per-thread working memory, sized once from the plan (D: most columns on one path).
struct PairScratch {
    explicit PairScratch(const ShapleyPlan& plan)
        : right(static_cast<size_t>(plan.max_tree_nodes)),
          column(static_cast<size_t>(plan.max_width)),
          delta(column.size()),
          cover(column.size()),
          factor(column.size()),
          before(column.size() + 1),
          after(column.size() + 1),
          single(column.size()),
          pair(column.size() * column.size()) {}

    std::vector<uint8_t> right;   // per node of the current tree: the row goes right
    std::vector<int32_t> column;  // per column of the leaf's path
    std::vector<double> delta;    // o_k - c_k
    std::vector<double> cover;    // c_k
    std::vector<double> factor;   // c_k + t (o_k - c_k) at the current point
    std::vector<double> before;   // product of the factors before k
    std::vector<double> after;    // product of the factors from k on
    std::vector<double> single;   // integral of the product without k
    std::vector<double> pair;     // [i * D + j], i < j: integral without i and j
};

struct PairEvaluator {
    const Model& m;
    const ShapleyPlan& plan;
    const Rules& rules;
    int32_t n_cols;

    // Reads the leaf's columns, their covers and whether the row follows them; returns
    // the number of columns.
    int32_t read_path(const LeafPath& leaf, PairScratch& s) const {
        int32_t d = 0;
        for (int32_t c = leaf.component_begin; c < leaf.component_end; ++c, ++d) {
            const PathComponent& comp = plan.components[c];
            const PathGroup& group = plan.groups[comp.group_begin];
            bool follows = true;
            for (int32_t m = group.member_begin; m < group.member_end; ++m) {
                follows = follows && s.right[plan.members[m].node] == plan.members[m].right;
            }
            s.column[d] = plan.features[plan.signatures[comp.signature_begin].feature_begin];
            s.cover[d] = group.cover;
            s.delta[d] = (follows ? 1.0 : 0.0) - group.cover;
        }
        return d;
    }

    // Integrates the products leaving out one column and two columns.
    void integrate(const LeafPath& leaf, int32_t d, PairScratch& s) const {
        const QuadratureRule& rule = rules.rule[static_cast<size_t>(leaf.rule)];
        const auto D = static_cast<int32_t>(s.column.size());
        std::fill(s.single.begin(), s.single.begin() + d, 0.0);
        for (int32_t i = 0; i < d; ++i) std::fill_n(s.pair.begin() + i * D, d, 0.0);
        for (size_t q = 0; q < rule.node.size(); ++q) {
            const double t = rule.node[q];
            const double w = rule.weight[q];
            s.before[0] = 1.0;
            for (int32_t k = 0; k < d; ++k) {
                s.factor[k] = s.cover[k] + t * s.delta[k];
                s.before[k + 1] = s.before[k] * s.factor[k];
            }
            s.after[d] = 1.0;
            for (int32_t k = d - 1; k >= 0; --k) s.after[k] = s.after[k + 1] * s.factor[k];
            for (int32_t i = 0; i < d; ++i) {
                s.single[i] += w * s.before[i] * s.after[i + 1];
                double between = w * s.before[i];
                for (int32_t j = i + 1; j < d; ++j) {
                    s.pair[i * D + j] += between * s.after[j + 1];
                    between *= s.factor[j];
                }
            }
        }
    }

    // Adds scale times the leaf's values to one output's block and Shapley values.
    void spread(int32_t d, const PairScratch& s, double scale, double* block, double* phi) const {
        const auto D = static_cast<int32_t>(s.column.size());
        const int64_t width = static_cast<int64_t>(n_cols) + 1;
        for (int32_t i = 0; i < d; ++i) {
            const double di = scale * s.delta[i];
            phi[s.column[i]] += di * s.single[i];
            for (int32_t j = i + 1; j < d; ++j) {
                const double v = 0.5 * di * s.delta[j] * s.pair[i * D + j];
                block[s.column[i] * width + s.column[j]] += v;
                block[s.column[j] * width + s.column[i]] += v;
            }
        }
    }

    // Adds one tree's interactions to one row's blocks and Shapley values.
    void tree_row(size_t t, const double* x, double* out, double* phi, PairScratch& s) const {
        const Tree& tree = m.trees[t];
        for (size_t i = 0; i < tree.size(); ++i) {
            s.right[i] = tree[i].is_leaf ? 0 : goes_right(tree[i], x, m.projections);
        }
        const int32_t k_out = m.n_outputs;
        const bool multi = m.objective == kMulticlass;
        const int64_t width = static_cast<int64_t>(n_cols) + 1;
        for (int32_t l = plan.tree_leaf_begin[t]; l < plan.tree_leaf_begin[t + 1]; ++l) {
            const LeafPath& leaf = plan.leaves[l];
            if (leaf.component_end == leaf.component_begin) continue;
            const Node& node = tree[static_cast<size_t>(leaf.leaf)];
            if (multi && static_cast<int32_t>(node.leaf_values.size()) != k_out) continue;
            const int32_t d = read_path(leaf, s);
            integrate(leaf, d, s);
            if (!multi) {
                spread(d, s, m.learning_rate * node.value, out, phi);
                continue;
            }
            for (int32_t k = 0; k < k_out; ++k) {
                spread(d, s, m.learning_rate * node.leaf_values[k], out + k * width * width,
                       phi + static_cast<int64_t>(k) * n_cols);
            }
        }
    }
};

// The diagonal from the Shapley values, so that every row of the block sums to its
// column's Shapley value, and the expected value in the corner.
void finish_block(double* block, const double* phi, int32_t n_cols, double expected) {
    const int64_t width = static_cast<int64_t>(n_cols) + 1;
    for (int32_t i = 0; i < n_cols; ++i) {
        double others = 0.0;
        for (int32_t j = 0; j < n_cols; ++j) {
            if (j != i) others += block[i * width + j];
        }
        block[i * width + i] = phi[i] - others;
    }
    block[n_cols * width + n_cols] = expected;
}

void require_single_column_splits(const ShapleyPlan& plan) {
    for (const PathGroup& group : plan.groups) {
        if (group.width != 1) {
            throw std::invalid_argument(
                "interaction_values supports single-feature splits only: this model has pair "
                "or projection splits that read several columns together");
        }
    }
}

}  // namespace

void interaction_values(const Model& model, const NodeCovers& covers, const MatrixView& X,
                        double* out, int32_t n_trees, const StopCheck& stop) {
    const size_t used = trees_used(model, n_trees);
    StopPoll poll(stop);
    const ShapleyPlan plan = build_shapley_plan(model.trees, model.projections, covers, used, poll);
    require_single_column_splits(plan);
    const Rules rules = make_rules(plan);
    const std::vector<double> expected = expected_values(model, plan);
    const PairEvaluator eval{model, plan, rules, X.n_cols};
    const int64_t k_out = model.n_outputs;
    const int64_t width = static_cast<int64_t>(X.n_cols) + 1;
    const int64_t row_size = k_out * width * width;
    parallel_blocks(X.n_rows, X.n_rows > kParallelRows, poll, [&](int64_t begin, int64_t end) {
        PairScratch scratch(plan);
        std::vector<double> phi(static_cast<size_t>(k_out * X.n_cols));
        for (int64_t r = begin; r < end; ++r) {
            if (poll.stopped()) return;
            double* row_out = out + r * row_size;
            std::fill(row_out, row_out + row_size, 0.0);
            std::fill(phi.begin(), phi.end(), 0.0);
            for (size_t t = 0; t < used; ++t)
                eval.tree_row(t, X.row(r), row_out, phi.data(), scratch);
            for (int64_t k = 0; k < k_out; ++k) {
                finish_block(row_out + k * width * width, phi.data() + k * X.n_cols, X.n_cols,
                             expected[static_cast<size_t>(k)]);
            }
        }
    });
}

}  // namespace vorlent
