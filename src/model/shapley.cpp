#include "model/shapley.hpp"

#include <algorithm>
#include <vector>

#include "common/memory.hpp"
#include "common/parallel.hpp"
#include "model/packed_forest.hpp"
#include "model/predict.hpp"
#include "model/routing.hpp"
#include "model/shapley_plan.hpp"
#include "model/shapley_weights.hpp"

// A leaf's Shapley weights depend on the row only through the set of the leaf's path groups
// that the row follows (see shapley_weights.hpp). A leaf with G groups has 2^G such sets:
// when a call explains more rows than that, the weights of every set are computed once and
// each row looks its set up, leaving the row two passes over the leaf's path (which groups
// it follows, then one addition per feature). The table holds exactly the numbers the
// row-by-row computation gives, so the values never depend on the number of rows, the
// memory cap or the thread count.

namespace vorlent {
namespace {

// Rows above which rows are spread over threads.
constexpr int64_t kParallelShapRows = 16;
// Rows that go through each tree together.
constexpr int64_t kChunkRows = 256;
// Groups above which a leaf is never tabulated (2^kMaxTableGroups sets).
constexpr int32_t kMaxTableGroups = 16;
// Bytes of weight tables one call may hold; leaves beyond it are computed row by row.
constexpr double kTableBytes = 256.0 * 1024 * 1024;

// Where a leaf's table starts: in `live` (one flag per set of followed groups) and in
// `weight` (one weight per signature and set); -1 for a leaf computed row by row.
struct TableSlot {
    int64_t set_begin = -1;
    int64_t weight_begin = -1;
};

struct LeafTables {
    std::vector<TableSlot> slot;  // per leaf of the plan
    std::vector<uint8_t> live;    // 0: the leaf adds nothing to a row following this set
    std::vector<double> weight;
    std::vector<uint8_t> member_group;  // per member of the plan: its group's place in its leaf
};

// The set of the leaf's groups that a row follows, bit g for the leaf's g-th group: a
// group is followed when every member goes the path's way. The leaf's members are
// contiguous in the plan, so one pass over them clears the bits of the groups left.
inline uint32_t followed_set(const ShapleyPlan& plan, const LeafTables& tables,
                             const LeafPath& leaf, const uint8_t* right) {
    const int32_t g0 = plan.components[leaf.component_begin].group_begin;
    const int32_t g1 = plan.components[leaf.component_end - 1].group_end;
    const int32_t m0 = plan.groups[g0].member_begin;
    const int32_t m1 = plan.groups[g1 - 1].member_end;
    uint32_t left = 0;
    for (int32_t m = m0; m < m1; ++m) {
        const PathMember& member = plan.members[m];
        left |= static_cast<uint32_t>(right[member.node] != member.right)
                << tables.member_group[static_cast<size_t>(m)];
    }
    return ((uint32_t{1} << (g1 - g0)) - 1) & ~left;
}

// Chooses the tabulated leaves: those with at least one feature and fewer sets than rows,
// in plan order while the tables fit kTableBytes.
LeafTables plan_tables(const ShapleyPlan& plan, int64_t n_rows) {
    LeafTables tables;
    tables.slot.resize(plan.leaves.size());
    int64_t sets = 0;
    int64_t weights = 0;
    for (size_t l = 0; l < plan.leaves.size(); ++l) {
        const LeafPath& leaf = plan.leaves[l];
        if (leaf.component_end == leaf.component_begin) continue;
        const int32_t groups = leaf_groups(plan, leaf);
        if (groups > kMaxTableGroups || (int64_t{1} << groups) >= n_rows) continue;
        const int64_t n_sets = int64_t{1} << groups;
        const int64_t n_weights = n_sets * leaf_signatures(plan, leaf);
        if (static_cast<double>(weights + n_weights) * 8.0 + static_cast<double>(sets + n_sets) >
            kTableBytes) {
            continue;
        }
        tables.slot[l] = TableSlot{sets, weights};
        sets += n_sets;
        weights += n_weights;
    }
    check_memory_need(static_cast<double>(weights) * 8.0 + static_cast<double>(sets),
                      "the Shapley weight tables");
    tables.live.resize(static_cast<size_t>(sets));
    tables.weight.resize(static_cast<size_t>(weights));
    tables.member_group.resize(plan.members.size());
    for (const LeafPath& leaf : plan.leaves) {
        if (leaf.component_end == leaf.component_begin) continue;
        const int32_t g0 = plan.components[leaf.component_begin].group_begin;
        const int32_t g1 = plan.components[leaf.component_end - 1].group_end;
        for (int32_t g = g0; g < g1 && g - g0 < kMaxTableGroups; ++g) {
            for (int32_t m = plan.groups[g].member_begin; m < plan.groups[g].member_end; ++m) {
                tables.member_group[static_cast<size_t>(m)] = static_cast<uint8_t>(g - g0);
            }
        }
    }
    return tables;
}

// Fills every chosen leaf's table, in parallel over trees.
void fill_tables(const ShapleyPlan& plan, const Rules& rules, LeafTables& tables, StopPoll& stop) {
    const auto n_trees = static_cast<int64_t>(plan.tree_leaf_begin.size()) - 1;
    parallel_for_dynamic(n_trees, 1, n_trees > 1 && !tables.live.empty(), stop, [&](int64_t t) {
        Scratch s(plan);
        for (int32_t l = plan.tree_leaf_begin[t]; l < plan.tree_leaf_begin[t + 1]; ++l) {
            const TableSlot slot = tables.slot[static_cast<size_t>(l)];
            if (slot.set_begin < 0) continue;
            const LeafPath& leaf = plan.leaves[l];
            const uint32_t n_sets = uint32_t{1} << leaf_groups(plan, leaf);
            const int32_t n_sig = leaf_signatures(plan, leaf);
            for (uint32_t set = 0; set < n_sets; ++set) {
                const bool live = set_group_deltas(
                    plan, leaf, s, [&](int32_t g) { return ((set >> g) & 1U) != 0; });
                tables.live[static_cast<size_t>(slot.set_begin + set)] = live ? 1 : 0;
                if (live) {
                    leaf_weights(plan, rules, leaf, s,
                                 tables.weight.data() + slot.weight_begin + int64_t{set} * n_sig);
                }
            }
        }
    });
}

// The plan's row-independent facts together with the model's leaves.
struct Evaluator {
    const Model& m;
    const ShapleyPlan& plan;
    const Rules& rules;
    const LeafTables& tables;
    const std::vector<PackedTree>* packed;  // in step with m.trees, or null
    int32_t n_cols;

    // Adds scale times each signature's weight to its features in `out_row`.
    void spread(const LeafPath& leaf, const double* weight, double scale, double* out_row) const {
        const int32_t sig0 = plan.components[leaf.component_begin].signature_begin;
        const int32_t sig1 = plan.components[leaf.component_end - 1].signature_end;
        for (int32_t i = sig0; i < sig1; ++i) {
            const double v = scale * weight[i - sig0];
            const FeatureSignature& sig = plan.signatures[i];
            for (int32_t f = sig.feature_begin; f < sig.feature_end; ++f) {
                out_row[plan.features[f]] += v;
            }
        }
    }

    // The side the row takes at every internal node of tree t.
    void route(size_t t, const double* x, Scratch& s) const {
        const Tree& tree = m.trees[t];
        if (packed != nullptr) {
            for (const PackedNode& p : (*packed)[t].nodes) {
                s.right[static_cast<size_t>(p.node)] =
                    static_cast<uint8_t>(packed_goes_right(p, x, tree, m.projections));
            }
            return;
        }
        for (size_t i = 0; i < tree.size(); ++i) {
            s.right[i] = tree[i].is_leaf ? 0 : goes_right(tree[i], x, m.projections);
        }
    }

    // The tabulated leaf's weights for the row routed into s.right, or null when the leaf
    // adds nothing.
    const double* looked_up(TableSlot slot, const LeafPath& leaf, const Scratch& s) const {
        const uint32_t set = followed_set(plan, tables, leaf, s.right.data());
        if (tables.live[static_cast<size_t>(slot.set_begin + set)] == 0) return nullptr;
        return tables.weight.data() + slot.weight_begin +
               int64_t{set} * leaf_signatures(plan, leaf);
    }

    // The weights of a leaf without a table for the row routed into s.right, or null when
    // the leaf adds nothing.
    const double* computed(const LeafPath& leaf, Scratch& s) const {
        const bool live = set_group_deltas(plan, leaf, s, [&](int32_t g) {
            const PathGroup& group =
                plan.groups[plan.components[leaf.component_begin].group_begin + g];
            bool follows = true;
            for (int32_t m = group.member_begin; m < group.member_end; ++m) {
                const PathMember& member = plan.members[m];
                follows = follows && s.right[member.node] == member.right;
            }
            return follows;
        });
        if (!live) return nullptr;
        leaf_weights(plan, rules, leaf, s, s.weight.data());
        return s.weight.data();
    }

    // Adds one tree's contributions to one row's values. The tabulated leaves' weights are
    // looked up first, all of them, and their table rows fetched ahead, so that the misses
    // of a tree's tables overlap rather than queue behind each leaf's additions.
    void tree_row(size_t t, const double* x, double* out, Scratch& s,
                  std::vector<const double*>& found) const {
        const int32_t k_out = m.n_outputs;
        const bool multi = m.objective == kMulticlass;
        const int64_t width = static_cast<int64_t>(n_cols) + 1;
        const Tree& tree = m.trees[t];
        route(t, x, s);
        const int32_t l0 = plan.tree_leaf_begin[t];
        const int32_t l1 = plan.tree_leaf_begin[t + 1];
        for (int32_t l = l0; l < l1; ++l) {
            const TableSlot slot = tables.slot[static_cast<size_t>(l)];
            if (slot.set_begin < 0) continue;
            const double* w = looked_up(slot, plan.leaves[l], s);
            if (w != nullptr) __builtin_prefetch(w);
            found[static_cast<size_t>(l - l0)] = w;
        }
        for (int32_t l = l0; l < l1; ++l) {
            const LeafPath& leaf = plan.leaves[l];
            if (leaf.component_end == leaf.component_begin) continue;
            const Node& node = tree[static_cast<size_t>(leaf.leaf)];
            if (multi && static_cast<int32_t>(node.leaf_values.size()) != k_out) continue;
            const bool tabulated = tables.slot[static_cast<size_t>(l)].set_begin >= 0;
            const double* w = tabulated ? found[static_cast<size_t>(l - l0)] : computed(leaf, s);
            if (w == nullptr) continue;
            if (!multi) {
                spread(leaf, w, m.learning_rate * node.value, out);
                continue;
            }
            for (int32_t k = 0; k < k_out; ++k) {
                spread(leaf, w, m.learning_rate * node.leaf_values[k], out + k * width);
            }
        }
    }
};

}  // namespace

std::vector<double> expected_values(const Model& m, const ShapleyPlan& plan) {
    const size_t n_trees = plan.tree_leaf_begin.size() - 1;
    const bool multi = m.objective == kMulticlass;
    const int32_t k_out = m.n_outputs;
    std::vector<double> expected = start_scores(m);
    for (size_t t = 0; t < n_trees; ++t) {
        for (int32_t l = plan.tree_leaf_begin[t]; l < plan.tree_leaf_begin[t + 1]; ++l) {
            const LeafPath& leaf = plan.leaves[l];
            const Node& node = m.trees[t][static_cast<size_t>(leaf.leaf)];
            if (!multi) {
                expected[0] += m.learning_rate * node.value * leaf.base_weight;
                continue;
            }
            if (static_cast<int32_t>(node.leaf_values.size()) != k_out) continue;
            for (int32_t k = 0; k < k_out; ++k) {
                expected[k] += m.learning_rate * node.leaf_values[k] * leaf.base_weight;
            }
        }
    }
    return expected;
}

void shap_values(const Model& model, const NodeCovers& covers, const MatrixView& X, double* out,
                 int32_t n_trees, const StopCheck& stop) {
    const size_t used = trees_used(model, n_trees);
    StopPoll poll(stop);
    const ShapleyPlan plan = build_shapley_plan(model.trees, model.projections, covers, used, poll);
    const Rules rules = make_rules(plan);
    LeafTables tables = plan_tables(plan, X.n_rows);
    fill_tables(plan, rules, tables, poll);
    const std::vector<double> expected = expected_values(model, plan);
    const bool packed_fresh = model.packed.size() == model.trees.size();
    const Evaluator eval{model,   plan, rules, tables, packed_fresh ? &model.packed : nullptr,
                         X.n_cols};
    const int64_t k_out = model.n_outputs;
    const int64_t width = static_cast<int64_t>(X.n_cols) + 1;
    parallel_blocks(X.n_rows, X.n_rows > kParallelShapRows, poll, [&](int64_t begin, int64_t end) {
        Scratch scratch(plan);
        std::vector<const double*> found(static_cast<size_t>(plan.max_tree_leaves), nullptr);
        // Trees outside, rows inside, over chunks small enough that one tree's path tables
        // stay in cache while every row of the chunk uses them. Each row still adds its
        // trees in order, so the values do not depend on the chunking. A chunk of a large
        // model takes long enough to poll between its trees.
        for (int64_t chunk = begin; chunk < end; chunk += kChunkRows) {
            const int64_t chunk_end = std::min(end, chunk + kChunkRows);
            std::fill(out + chunk * k_out * width, out + chunk_end * k_out * width, 0.0);
            for (size_t t = 0; t < used; ++t) {
                if (poll.stopped()) return;
                for (int64_t r = chunk; r < chunk_end; ++r) {
                    eval.tree_row(t, X.row(r), out + r * k_out * width, scratch, found);
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
