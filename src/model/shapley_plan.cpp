#include "model/shapley_plan.hpp"

#include <algorithm>
#include <bit>
#include <map>
#include <numeric>
#include <stdexcept>
#include <string>

#include "common/memory.hpp"

namespace vorlent {
namespace {

// A path's nodes with the same feature set, before flattening.
struct GroupDraft {
    std::vector<int32_t> features;
    double cover = 1.0;
    std::vector<PathMember> members;
};

bool overlap(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j]) return true;
        if (a[i] < b[j])
            ++i;
        else
            ++j;
    }
    return false;
}

// The share of the parent's rows that took the child on the path; an even split when the
// covers say nothing (a node no counted row reached).
double cover_fraction(const Node& node, const std::vector<double>& cover, int32_t right) {
    const double l = cover[static_cast<size_t>(node.left)];
    const double r = cover[static_cast<size_t>(node.right)];
    const double total = l + r;
    if (!(total > 0.0)) return 0.5;
    return (right ? r : l) / total;
}

class PlanBuilder {
public:
    PlanBuilder(const Directions& projections, ShapleyPlan& plan)
        : projections_(projections), plan_(plan) {}

    void add_tree(const Tree& tree, const std::vector<double>& cover) {
        plan_.max_tree_nodes = std::max(plan_.max_tree_nodes, static_cast<int32_t>(tree.size()));
        sets_.assign(tree.size(), {});
        for (size_t i = 0; i < tree.size(); ++i) {
            if (!tree[i].is_leaf) sets_[i] = split_features(tree[i], projections_);
        }
        path_.clear();
        if (!tree.empty()) walk(tree, cover, 0);
    }

private:
    void walk(const Tree& tree, const std::vector<double>& cover, int32_t index) {
        const Node& node = tree[static_cast<size_t>(index)];
        if (node.is_leaf) {
            add_leaf(tree, cover, index);
            return;
        }
        path_.push_back(PathMember{index, 0});
        walk(tree, cover, node.left);
        path_.back().right = 1;
        walk(tree, cover, node.right);
        path_.pop_back();
    }

    void add_leaf(const Tree& tree, const std::vector<double>& cover, int32_t leaf) {
        std::vector<GroupDraft> drafts;
        for (const PathMember& m : path_) {
            const std::vector<int32_t>& set = sets_[static_cast<size_t>(m.node)];
            auto same = std::find_if(drafts.begin(), drafts.end(),
                                     [&](const GroupDraft& g) { return g.features == set; });
            if (same == drafts.end()) {
                drafts.push_back(GroupDraft{set, 1.0, {}});
                same = drafts.end() - 1;
            }
            same->cover *= cover_fraction(tree[static_cast<size_t>(m.node)], cover, m.right);
            same->members.push_back(m);
        }
        // Components by union-find over overlapping feature sets, ordered by first group.
        const size_t n = drafts.size();
        std::vector<size_t> parent(n);
        std::iota(parent.begin(), parent.end(), size_t{0});
        auto root = [&](size_t i) {
            while (parent[i] != i) i = parent[i] = parent[parent[i]];
            return i;
        };
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = i + 1; j < n; ++j) {
                if (overlap(drafts[i].features, drafts[j].features)) {
                    const size_t a = root(i);
                    const size_t b = root(j);
                    parent[std::max(a, b)] = std::min(a, b);
                }
            }
        }
        LeafPath path{};
        path.leaf = leaf;
        path.component_begin = static_cast<int32_t>(plan_.components.size());
        path.base_weight = 1.0;
        int32_t width = 0;
        int32_t signatures = 0;
        for (size_t c = 0; c < n; ++c) {
            if (root(c) != c) continue;
            std::vector<size_t> members;
            for (size_t g = c; g < n; ++g) {
                if (root(g) == c) members.push_back(g);
            }
            const int32_t before = static_cast<int32_t>(plan_.signatures.size());
            width += add_component(drafts, members, path.base_weight);
            signatures += static_cast<int32_t>(plan_.signatures.size()) - before;
        }
        path.component_end = static_cast<int32_t>(plan_.components.size());
        path.rule = std::max(1, (width + 1) / 2);
        plan_.leaves.push_back(path);
        plan_.max_rule = std::max(plan_.max_rule, path.rule);
        plan_.max_width = std::max(plan_.max_width, width);
        plan_.max_leaf_groups = std::max(plan_.max_leaf_groups, static_cast<int32_t>(n));
        plan_.max_leaf_components =
            std::max(plan_.max_leaf_components, path.component_end - path.component_begin);
        plan_.max_leaf_signatures = std::max(plan_.max_leaf_signatures, signatures);
    }

    // Appends one component's groups, signatures and subset widths; returns its features.
    int32_t add_component(const std::vector<GroupDraft>& drafts, const std::vector<size_t>& members,
                          double& base_weight) {
        const auto m = static_cast<int32_t>(members.size());
        if (m > kMaxLinkedGroups) {
            throw std::invalid_argument(
                "a tree path links " + std::to_string(m) +
                " different feature sets through shared features; Shapley values support at "
                "most " +
                std::to_string(kMaxLinkedGroups));
        }
        PathComponent comp{};
        comp.group_begin = static_cast<int32_t>(plan_.groups.size());
        std::map<int32_t, uint32_t> feature_groups;
        for (int32_t g = 0; g < m; ++g) {
            const GroupDraft& d = drafts[members[static_cast<size_t>(g)]];
            PathGroup group{};
            group.cover = d.cover;
            group.member_begin = static_cast<int32_t>(plan_.members.size());
            plan_.members.insert(plan_.members.end(), d.members.begin(), d.members.end());
            group.member_end = static_cast<int32_t>(plan_.members.size());
            group.width = static_cast<int32_t>(d.features.size());
            plan_.groups.push_back(group);
            base_weight *= d.cover;
            for (int32_t f : d.features) feature_groups[f] |= uint32_t{1} << g;
        }
        comp.group_end = static_cast<int32_t>(plan_.groups.size());
        std::map<uint32_t, std::vector<int32_t>> by_signature;
        for (const auto& [feature, groups] : feature_groups)
            by_signature[groups].push_back(feature);
        comp.signature_begin = static_cast<int32_t>(plan_.signatures.size());
        for (const auto& [groups, features] : by_signature) {
            FeatureSignature s{};
            s.groups = groups;
            s.feature_begin = static_cast<int32_t>(plan_.features.size());
            plan_.features.insert(plan_.features.end(), features.begin(), features.end());
            s.feature_end = static_cast<int32_t>(plan_.features.size());
            plan_.signatures.push_back(s);
        }
        comp.signature_end = static_cast<int32_t>(plan_.signatures.size());
        comp.subset_begin = static_cast<int32_t>(plan_.subset_width.size());
        if (m > 1) {
            const uint32_t subsets = uint32_t{1} << m;
            plan_.max_subsets = std::max(plan_.max_subsets, static_cast<int32_t>(subsets));
            for (uint32_t t = 0; t < subsets; ++t) {
                int32_t w = 0;
                for (int32_t s = comp.signature_begin; s < comp.signature_end; ++s) {
                    const FeatureSignature& sig = plan_.signatures[static_cast<size_t>(s)];
                    if (sig.groups & t) w += sig.feature_end - sig.feature_begin;
                }
                plan_.subset_width.push_back(w);
            }
        }
        comp.width = static_cast<int32_t>(feature_groups.size());
        plan_.components.push_back(comp);
        return comp.width;
    }

    const Directions& projections_;
    ShapleyPlan& plan_;
    std::vector<std::vector<int32_t>> sets_;  // per node of the current tree
    std::vector<PathMember> path_;
};

// A generous estimate of the path tables: every path node may become a group, a member,
// a component and a signature with one feature.
double plan_bytes(const std::vector<Tree>& trees, size_t n_trees) {
    constexpr double kPerPathNode = sizeof(PathMember) + sizeof(PathGroup) + sizeof(PathComponent) +
                                    sizeof(FeatureSignature) + 8.0;
    double bytes = 0.0;
    std::vector<double> depth;
    for (size_t t = 0; t < n_trees; ++t) {
        const Tree& tree = trees[t];
        depth.assign(tree.size(), 0.0);
        for (size_t i = 0; i < tree.size(); ++i) {
            const Node& node = tree[i];
            if (node.is_leaf) {
                bytes += sizeof(LeafPath) + depth[i] * kPerPathNode;
                continue;
            }
            depth[static_cast<size_t>(node.left)] = depth[i] + 1.0;
            depth[static_cast<size_t>(node.right)] = depth[i] + 1.0;
        }
    }
    return bytes;
}

}  // namespace

std::vector<int32_t> split_features(const Node& node, const Directions& projections) {
    std::vector<int32_t> features;
    if (node.projection >= 0) {
        const std::vector<double>& d = projections[static_cast<size_t>(node.projection)];
        for (size_t j = 0; j < d.size(); ++j) {
            if (d[j] != 0.0) features.push_back(static_cast<int32_t>(j));
        }
        return features;
    }
    features.push_back(node.feature_a);
    if (node.kind != kAxis && node.feature_b != node.feature_a) {
        features.push_back(node.feature_b);
        std::sort(features.begin(), features.end());
    }
    return features;
}

ShapleyPlan build_shapley_plan(const std::vector<Tree>& trees, const Directions& projections,
                               const NodeCovers& covers, size_t n_trees, StopPoll& stop) {
    check_memory_need(plan_bytes(trees, n_trees), "the Shapley path tables of the model");
    ShapleyPlan plan;
    PlanBuilder builder(projections, plan);
    plan.tree_leaf_begin.push_back(0);
    for (size_t t = 0; t < n_trees; ++t) {
        stop.poll();
        builder.add_tree(trees[t], covers[t]);
        plan.tree_leaf_begin.push_back(static_cast<int32_t>(plan.leaves.size()));
        plan.max_tree_leaves =
            std::max(plan.max_tree_leaves, plan.tree_leaf_begin[t + 1] - plan.tree_leaf_begin[t]);
    }
    return plan;
}

}  // namespace vorlent
