#pragma once
#include <cstdint>
#include <vector>

#include "model/node.hpp"

// How monotone constraints steer a split, for every builder: which way the split's test
// runs along the constrained columns, and the bounds that keep its children's values in
// that order. Sums arrive as doubles (the fixed-point builders convert each once), so every
// builder computes the same bounds from the same sums.

namespace vorlent {

// The direction a monotone constraint takes through an axis or pair test: +1 when the right
// side holds the larger values of a rising column, -1 when it holds the smaller, 0 when the
// test reads no constrained column. A pair test follows its first column, or its second when
// the first is free or barely used (a categorical pair's first column is its codes, never
// constrained). `monotone` holds one code per column (+ rising, - falling, 0 free), or
// nothing when no column is constrained.
int32_t split_constraint(const Node& test, const std::vector<int32_t>& monotone);

// How a split on direction d (one coefficient per column) meets the monotone constraints:
// +1 when the projection rises along every constrained column in the column's direction, -1
// when it falls along every one, 0 when it reads no constrained column, kMixedSigns when it
// rises along some and falls along others (no bound on its children could keep both).
inline constexpr int32_t kMixedSigns = 2;
int32_t monotone_sign(const std::vector<int32_t>& monotone, const std::vector<double>& d);

// The values a node may take.
struct ValueBounds {
    double lower;
    double upper;
};

// The bounds of a split's two children.
struct ChildBounds {
    ValueBounds left;
    ValueBounds right;
};

// A child's gradient and hessian sums.
struct SideSums {
    double g = 0.0;
    double h = 0.0;
};

// The children's bounds under a split of the given direction (split_constraint,
// monotone_sign): the parent's for a free split; otherwise the mean of the children's Newton
// values, clamped into the parent's bounds, parts them, so that the side the constrained
// columns push rows toward stays above the other.
ChildBounds child_bounds(int32_t direction, ValueBounds parent, SideSums left, SideSums right,
                         double lambda);

}  // namespace vorlent
