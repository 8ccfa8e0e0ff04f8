#include "model/shapley.hpp"

#include <algorithm>
#include <vector>

#include "common/parallel.hpp"
#include "model/quadrature.hpp"
#include "model/routing.hpp"
#include "model/shapley_plan.hpp"

// The algorithm. For one leaf with value v, a coalition S reaches the leaf with weight
// g(S) = prod over path groups of (C + D [group's features all in S]), where C is the
// group's cover fraction and D = O - C with O = 1 when the row itself follows the path
// through every member of the group, else 0. Expanding the product writes g as a sum of
// unanimity games on unions of feature sets, so the Shapley value of feature i is the
// integral over t in [0, 1] of the derivative of g's multilinear extension along the
// diagonal (Owen's formula). On the diagonal, a component (groups linked by shared
// features) contributes E(t) = sum over subsets T of its groups of coef(T) t^|features of T|,
// and feature i's derivative is the sum over subsets that read i of coef(T) t^(|...| - 1),
// times the other components' E(t). These are polynomials of degree below the number of
// features on the path, so a Gauss-Legendre rule with half as many points integrates them
// exactly. For axis-only trees each component is one feature and this is classic TreeSHAP.

namespace vorlent {
namespace {

// Rows above which rows are spread over threads.
constexpr int64_t kParallelShapRows = 16;
// Rows that go through each tree together.
constexpr int64_t kChunkRows = 32;

// The quadrature rules of every size the plan needs, with t^k tabulated per point.
struct Rules {
    std::vector<QuadratureRule> rule;        // index: number of points
    std::vector<std::vector<double>> power;  // [points][q * (max_width + 1) + k] = t_q^k
    int32_t stride = 1;
};

Rules make_rules(const ShapleyPlan& plan) {
    Rules r;
    r.stride = plan.max_width + 1;
    r.rule.resize(static_cast<size_t>(plan.max_rule) + 1);
    r.power.resize(static_cast<size_t>(plan.max_rule) + 1);
    std::vector<bool> used(static_cast<size_t>(plan.max_rule) + 1, false);
    for (const LeafPath& leaf : plan.leaves) used[static_cast<size_t>(leaf.rule)] = true;
    for (int32_t q = 1; q <= plan.max_rule; ++q) {
        if (!used[static_cast<size_t>(q)]) continue;
        r.rule[q] = gauss_legendre(q);
        std::vector<double>& p = r.power[q];
        p.assign(static_cast<size_t>(q) * r.stride, 1.0);
        for (int32_t i = 0; i < q; ++i) {
            for (int32_t k = 1; k < r.stride; ++k) {
                p[i * r.stride + k] = p[i * r.stride + k - 1] * r.rule[q].node[i];
            }
        }
    }
    return r;
}

// Per-thread working memory, sized once from the plan.
struct Scratch {
    std::vector<uint8_t> right;     // per node of the current tree: the row goes right
    std::vector<double> delta;      // per group of the leaf: O - C
    std::vector<double> coef;       // per subset of a component's groups
    std::vector<double> component;  // [component][q]: E(t_q)
    std::vector<double> signature;  // [signature][q]: the derivative's polynomial at t_q
    std::vector<double> before;     // [component][q]: product of the earlier components
    std::vector<double> after;      // [component][q]: product of the later components
    std::vector<double> weight;     // per signature of the leaf: its Shapley weight
    std::vector<double> by_width;   // [1 + signature][width]: summed subset coefficients

    explicit Scratch(const ShapleyPlan& plan) {
        const size_t q = static_cast<size_t>(plan.max_rule);
        const size_t c = static_cast<size_t>(plan.max_leaf_components) + 1;
        right.resize(static_cast<size_t>(plan.max_tree_nodes));
        delta.resize(static_cast<size_t>(plan.max_leaf_groups));
        coef.resize(static_cast<size_t>(plan.max_subsets));
        component.resize(c * q);
        signature.resize(static_cast<size_t>(plan.max_leaf_signatures) * q);
        before.resize(c * q);
        after.resize(c * q);
        weight.resize(static_cast<size_t>(plan.max_leaf_signatures));
        by_width.resize((static_cast<size_t>(plan.max_leaf_signatures) + 1) *
                        (static_cast<size_t>(plan.max_width) + 1));
    }
};

// The plan's row-independent facts together with the model's leaves.
struct Evaluator {
    const Booster& b;
    const ShapleyPlan& plan;
    const Rules& rules;
    int32_t n_cols;

    // Fills s.weight with the Shapley weight of each of the leaf's signatures (the
    // contribution of each of its features per unit of leaf value). Returns false when
    // the leaf adds nothing to the row's values.
    bool leaf_weights(const LeafPath& leaf, Scratch& s) const {
        // The row's side at every group: O = 1 when every member goes the path's way.
        const int32_t g0 = plan.components[leaf.component_begin].group_begin;
        const int32_t g1 = leaf.component_end > leaf.component_begin
                               ? plan.components[leaf.component_end - 1].group_end
                               : g0;
        for (int32_t g = g0; g < g1; ++g) {
            const PathGroup& group = plan.groups[g];
            bool follows = true;
            for (int32_t m = group.member_begin; m < group.member_end; ++m) {
                const PathMember& member = plan.members[m];
                follows = follows && s.right[member.node] == member.right;
            }
            // A group the row leaves and no counted row took keeps the leaf at weight 0.
            if (!follows && group.cover == 0.0) return false;
            s.delta[g - g0] = (follows ? 1.0 : 0.0) - group.cover;
        }
        const int32_t q_count = leaf.rule;
        const int32_t stride = rules.stride;
        const double* power = rules.power[q_count].data();
        const int32_t n_comp = leaf.component_end - leaf.component_begin;
        const int32_t sig0 = n_comp > 0 ? plan.components[leaf.component_begin].signature_begin : 0;
        for (int32_t c = 0; c < n_comp; ++c) {
            const PathComponent& comp = plan.components[leaf.component_begin + c];
            double* e = s.component.data() + c * q_count;
            const int32_t m = comp.group_end - comp.group_begin;
            if (m == 1) {
                const double cover = plan.groups[comp.group_begin].cover;
                const double d = s.delta[comp.group_begin - g0];
                const int32_t k = plan.groups[comp.group_begin].width;
                double* sig = s.signature.data() + (comp.signature_begin - sig0) * q_count;
                for (int32_t q = 0; q < q_count; ++q) {
                    e[q] = cover + d * power[q * stride + k];
                    sig[q] = d * power[q * stride + k - 1];
                }
                continue;
            }
            // coef(T) = prod over T of D times prod over the rest of C, built group by group.
            double* coef = s.coef.data();
            coef[0] = 1.0;
            for (int32_t g = 0; g < m; ++g) {
                const double cover = plan.groups[comp.group_begin + g].cover;
                const double d = s.delta[comp.group_begin + g - g0];
                const uint32_t half = uint32_t{1} << g;
                for (uint32_t t = 0; t < half; ++t) {
                    coef[t | half] = coef[t] * d;
                    coef[t] *= cover;
                }
            }
            // Sum the subsets' coefficients by the number of features they read first, so
            // that each polynomial is evaluated once per point rather than once per subset.
            const int32_t n_sig = comp.signature_end - comp.signature_begin;
            const int32_t span = comp.width + 1;
            double* by_width = s.by_width.data();
            std::fill(by_width, by_width + (n_sig + 1) * span, 0.0);
            const int32_t* width = plan.subset_width.data() + comp.subset_begin;
            const FeatureSignature* sigs = plan.signatures.data() + comp.signature_begin;
            const uint32_t subsets = uint32_t{1} << m;
            for (uint32_t t = 0; t < subsets; ++t) {
                const double ct = coef[t];
                const int32_t w = width[t];
                by_width[w] += ct;
                for (int32_t i = 0; i < n_sig; ++i) {
                    // A subset reading the signature's features counts with one power less.
                    if (sigs[i].groups & t) by_width[(i + 1) * span + w - 1] += ct;
                }
            }
            double* sig = s.signature.data() + (comp.signature_begin - sig0) * q_count;
            for (int32_t q = 0; q < q_count; ++q) {
                const double* p = power + q * stride;
                double v = 0.0;
                for (int32_t a = 0; a < span; ++a) v += by_width[a] * p[a];
                e[q] = v;
                for (int32_t i = 0; i < n_sig; ++i) {
                    const double* c = by_width + (i + 1) * span;
                    double d = 0.0;
                    for (int32_t a = 0; a < span; ++a) d += c[a] * p[a];
                    sig[i * q_count + q] = d;
                }
            }
        }
        // Products of the other components at every point, without division.
        double* before = s.before.data();
        double* after = s.after.data();
        std::fill(before, before + q_count, 1.0);
        for (int32_t c = 0; c < n_comp; ++c) {
            for (int32_t q = 0; q < q_count; ++q) {
                before[(c + 1) * q_count + q] =
                    before[c * q_count + q] * s.component[c * q_count + q];
            }
        }
        std::fill(after + n_comp * q_count, after + (n_comp + 1) * q_count, 1.0);
        for (int32_t c = n_comp - 1; c >= 0; --c) {
            for (int32_t q = 0; q < q_count; ++q) {
                after[c * q_count + q] =
                    after[(c + 1) * q_count + q] * s.component[c * q_count + q];
            }
        }
        const double* w = rules.rule[q_count].weight.data();
        for (int32_t c = 0; c < n_comp; ++c) {
            const PathComponent& comp = plan.components[leaf.component_begin + c];
            for (int32_t i = comp.signature_begin; i < comp.signature_end; ++i) {
                const double* sig = s.signature.data() + (i - sig0) * q_count;
                double total = 0.0;
                for (int32_t q = 0; q < q_count; ++q) {
                    total +=
                        w[q] * (sig[q] * (before[c * q_count + q] * after[(c + 1) * q_count + q]));
                }
                s.weight[i - sig0] = total;
            }
        }
        return true;
    }

    // Adds scale times each signature's weight to its features in `out_row`.
    void spread(const LeafPath& leaf, const Scratch& s, double scale, double* out_row) const {
        if (leaf.component_end == leaf.component_begin) return;
        const int32_t sig0 = plan.components[leaf.component_begin].signature_begin;
        const int32_t sig1 = plan.components[leaf.component_end - 1].signature_end;
        for (int32_t i = sig0; i < sig1; ++i) {
            const double v = scale * s.weight[i - sig0];
            const FeatureSignature& sig = plan.signatures[i];
            for (int32_t f = sig.feature_begin; f < sig.feature_end; ++f) {
                out_row[plan.features[f]] += v;
            }
        }
    }

    // Adds one tree's contributions to one row's values.
    void tree_row(size_t t, const double* x, double* out, Scratch& s) const {
        const int32_t k_out = b.n_outputs;
        const bool multi = b.objective == kMulticlass;
        const int64_t width = static_cast<int64_t>(n_cols) + 1;
        const Tree& tree = b.trees[t];
        for (size_t i = 0; i < tree.size(); ++i) {
            s.right[i] = tree[i].is_leaf ? 0 : goes_right(tree[i], x, b.projections);
        }
        for (int32_t l = plan.tree_leaf_begin[t]; l < plan.tree_leaf_begin[t + 1]; ++l) {
            const LeafPath& leaf = plan.leaves[l];
            if (leaf.component_end == leaf.component_begin) continue;
            const Node& node = tree[static_cast<size_t>(leaf.leaf)];
            if (multi && static_cast<int32_t>(node.leaf_values.size()) != k_out) continue;
            if (!leaf_weights(leaf, s)) continue;
            if (!multi) {
                spread(leaf, s, b.learning_rate * node.value, out);
                continue;
            }
            for (int32_t k = 0; k < k_out; ++k) {
                spread(leaf, s, b.learning_rate * node.leaf_values[k], out + k * width);
            }
        }
    }
};

// The raw score of a row that knows none of its features, per output: the start score
// plus every leaf's value times the share of covered rows that reach it.
std::vector<double> expected_values(const Booster& b, const ShapleyPlan& plan) {
    const bool multi = b.objective == kMulticlass;
    const int32_t k_out = b.n_outputs;
    std::vector<double> expected(static_cast<size_t>(k_out), b.base_score);
    if (multi) {
        for (int32_t k = 0; k < k_out; ++k) {
            expected[k] =
                static_cast<int32_t>(b.base_scores.size()) == k_out ? b.base_scores[k] : 0.0;
        }
    }
    for (size_t t = 0; t < b.trees.size(); ++t) {
        for (int32_t l = plan.tree_leaf_begin[t]; l < plan.tree_leaf_begin[t + 1]; ++l) {
            const LeafPath& leaf = plan.leaves[l];
            const Node& node = b.trees[t][static_cast<size_t>(leaf.leaf)];
            if (!multi) {
                expected[0] += b.learning_rate * node.value * leaf.base_weight;
                continue;
            }
            if (static_cast<int32_t>(node.leaf_values.size()) != k_out) continue;
            for (int32_t k = 0; k < k_out; ++k) {
                expected[k] += b.learning_rate * node.leaf_values[k] * leaf.base_weight;
            }
        }
    }
    return expected;
}

}  // namespace

void shap_values(const Booster& booster, const NodeCovers& covers, const MatrixView& X,
                 double* out) {
    const ShapleyPlan plan = build_shapley_plan(booster.trees, booster.projections, covers);
    const Rules rules = make_rules(plan);
    const std::vector<double> expected = expected_values(booster, plan);
    const Evaluator eval{booster, plan, rules, X.n_cols};
    const int64_t k_out = booster.n_outputs;
    const int64_t width = static_cast<int64_t>(X.n_cols) + 1;
    parallel_blocks(X.n_rows, X.n_rows > kParallelShapRows, [&](int64_t begin, int64_t end) {
        Scratch scratch(plan);
        std::fill(out + begin * k_out * width, out + end * k_out * width, 0.0);
        // Trees outside, rows inside, over chunks small enough that one tree's path tables
        // stay in cache while every row of the chunk uses them. Each row still adds its
        // trees in order, so the values do not depend on the chunking.
        for (int64_t chunk = begin; chunk < end; chunk += kChunkRows) {
            const int64_t chunk_end = std::min(end, chunk + kChunkRows);
            for (size_t t = 0; t < booster.trees.size(); ++t) {
                for (int64_t r = chunk; r < chunk_end; ++r) {
                    eval.tree_row(t, X.row(r), out + r * k_out * width, scratch);
                }
            }
        }
        for (int64_t r = begin; r < end; ++r) {
            double* row_out = out + r * k_out * width;
            for (int64_t k = 0; k < k_out; ++k) row_out[k * width + X.n_cols] = expected[k];
        }
    });
}

}  // namespace vorlent
