#pragma once
#include <cstdint>
#include <vector>

#include "model/quadrature.hpp"
#include "model/shapley_plan.hpp"

// The Shapley weights of one leaf's features for one row, given how the row meets each of
// the leaf's path groups. The algorithm: for one leaf with value v, a coalition S reaches the
// leaf with weight g(S) = prod over path groups of (C + D [group's features all in S]), where
// C is the group's cover fraction and D = O - C with O = 1 when the row itself follows the
// path through every member of the group, else 0. Expanding the product writes g as a sum
// of unanimity games on unions of feature sets, so the Shapley value of feature i is the
// integral over t in [0, 1] of the derivative of g's multilinear extension along the
// diagonal (Owen's formula). On the diagonal, a component (groups linked by shared
// features) contributes E(t) = sum over subsets T of its groups of coef(T) t^|features of T|,
// and feature i's derivative is the sum over subsets that read i of coef(T) t^(|...| - 1),
// times the other components' E(t). These are polynomials of degree below the number of
// features on the path, so a Gauss-Legendre rule with half as many points integrates them
// exactly. For axis-only trees each component is one feature and this is classic TreeSHAP.
//
// The weights depend on the row only through which groups it follows, so they can be
// tabulated per leaf for every pattern of followed groups (see shapley.cpp).

namespace vorlent {

// The quadrature rules of every size the plan needs, with t^k tabulated per point.
struct Rules {
    std::vector<QuadratureRule> rule;        // index: number of points
    std::vector<std::vector<double>> power;  // [points][q * (max_width + 1) + k] = t_q^k
    int32_t stride = 1;
};

// The rules of every size that the plan's leaves need.
Rules make_rules(const ShapleyPlan& plan);

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

    explicit Scratch(const ShapleyPlan& plan);
};

// Sets s.delta (O - C per group of the leaf, in plan order) for a row that follows the
// leaf's g-th group exactly when follows(g) is true. Returns false when the leaf adds
// nothing to the row's values: the row leaves a group that no counted row took.
template <class Follows>
bool set_group_deltas(const ShapleyPlan& plan, const LeafPath& leaf, Scratch& s,
                      Follows&& follows) {
    const int32_t g0 = plan.components[leaf.component_begin].group_begin;
    const int32_t g1 = plan.components[leaf.component_end - 1].group_end;
    for (int32_t g = g0; g < g1; ++g) {
        const double cover = plan.groups[g].cover;
        const bool on_path = follows(g - g0);
        if (!on_path && cover == 0.0) return false;
        s.delta[g - g0] = (on_path ? 1.0 : 0.0) - cover;
    }
    return true;
}

// The number of path groups of a leaf with at least one component.
inline int32_t leaf_groups(const ShapleyPlan& plan, const LeafPath& leaf) {
    return plan.components[leaf.component_end - 1].group_end -
           plan.components[leaf.component_begin].group_begin;
}

// The number of feature signatures of a leaf with at least one component.
inline int32_t leaf_signatures(const ShapleyPlan& plan, const LeafPath& leaf) {
    return plan.components[leaf.component_end - 1].signature_end -
           plan.components[leaf.component_begin].signature_begin;
}

// Writes the Shapley weight of each of the leaf's signatures (the contribution of each of
// its features per unit of leaf value) to weight[0 .. leaf_signatures), from s.delta. The
// leaf must have at least one component.
void leaf_weights(const ShapleyPlan& plan, const Rules& rules, const LeafPath& leaf, Scratch& s,
                  double* weight);

}  // namespace vorlent
