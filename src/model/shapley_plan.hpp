#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/stop_poll.hpp"
#include "model/node.hpp"
#include "model/node_cover.hpp"

namespace vorlent {

// The most groups one component may link (see PathComponent): its 2^m subsets are
// enumerated for every row and leaf. Trees the builders grow stay far below it.
inline constexpr int32_t kMaxLinkedGroups = 20;

// A node on a leaf's path and the side the path takes there (1 right, 0 left).
struct PathMember {
    int32_t node;
    int32_t right;
};

// The nodes of one path that read exactly the same features. A coalition holding all of
// them decides every member by the row; otherwise every member follows both sides.
struct PathGroup {
    double cover;  // product over members of the cover fraction of the side taken
    int32_t member_begin;
    int32_t member_end;
    int32_t width;  // number of features the members read
};

// Groups linked by shared features (transitively). Different components of a path read
// disjoint features, so the path's weight factors over them.
struct PathComponent {
    int32_t group_begin;
    int32_t group_end;
    int32_t signature_begin;
    int32_t signature_end;
    int32_t subset_begin;  // into subset_width, 2^groups entries; unused for one group
    int32_t width;         // features the component's groups read
};

// The features of a component read by the same groups (bit g: the component's group g);
// they share one Shapley value per leaf.
struct FeatureSignature {
    uint32_t groups;
    int32_t feature_begin;
    int32_t feature_end;
};

// One root-to-leaf path of one tree.
struct LeafPath {
    int32_t leaf;  // node index of the leaf
    int32_t component_begin;
    int32_t component_end;
    int32_t rule;        // quadrature points that integrate this path exactly
    double base_weight;  // product of all group covers: the leaf's weight with no feature known
};

// Everything about the paths of an ensemble that does not depend on the row, in flat arrays.
struct ShapleyPlan {
    std::vector<int32_t> tree_leaf_begin;  // one offset into leaves per tree, plus the end
    std::vector<LeafPath> leaves;
    std::vector<PathComponent> components;
    std::vector<PathGroup> groups;
    std::vector<PathMember> members;
    std::vector<FeatureSignature> signatures;
    std::vector<int32_t> features;
    std::vector<int32_t> subset_width;  // features read by a subset of a component's groups
    // Sizes of the per-thread scratch.
    int32_t max_rule = 1;
    int32_t max_width = 0;  // most features on one path: the highest power of t needed
    int32_t max_tree_nodes = 0;
    int32_t max_tree_leaves = 0;
    int32_t max_leaf_groups = 0;
    int32_t max_leaf_components = 0;
    int32_t max_leaf_signatures = 0;
    int32_t max_subsets = 1;
};

// The features a split reads, ascending and distinct: one for an axis test, two for the
// pair tests, every column with a non-zero direction entry for a projection test.
std::vector<int32_t> split_features(const Node& node, const Directions& projections);

// The plan of the first n_trees trees, polling `stop` between trees (a large model's plan
// takes a while). Throws std::invalid_argument when a path links more than
// kMaxLinkedGroups feature sets.
ShapleyPlan build_shapley_plan(const std::vector<Tree>& trees, const Directions& projections,
                               const NodeCovers& covers, size_t n_trees, StopPoll& stop);

}  // namespace vorlent
