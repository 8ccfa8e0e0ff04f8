#pragma once

#include "common/numeric.hpp"

// The second-order (Newton) step that every builder takes on a node's gradient sum g and
// hessian sum h with the ridge term lambda: the leaf value it moves to and the loss it saves.
// Written once so that the row-by-row builders (double sums) and the exact builders (sums
// converted from a fixed-point grid) make the same decision from the same doubles.

namespace vorlent {

// The value minimising g * v + (h + lambda) * v^2 / 2.
inline double newton_value(double g, double h, double lambda) { return -g / (h + lambda); }

// A leaf's value: the Newton value clamped into the leaf's monotone bounds [lower, upper].
inline double leaf_value(double g, double h, double lambda, double lower, double upper) {
    return clamp_value(newton_value(g, h, lambda), lower, upper);
}

// Twice the loss a node saves by taking its Newton value: g^2 / (h + lambda).
inline double side_score(double g, double h, double lambda) { return g * g / (h + lambda); }

// Second-order gain of parting a node into a left (gl, hl) and a right (gr, hr) side; `parent`
// is the node's side_score, computed once per scan.
inline double split_gain(double gl, double hl, double gr, double hr, double lambda,
                         double parent) {
    return side_score(gl, hl, lambda) + side_score(gr, hr, lambda) - parent;
}

// split_gain from the left side's double sums and the node's (g, h): the right side is the
// node's sums minus the left.
inline double cut_gain(double gl, double hl, double g, double h, double lambda,
                       double parent) {
    return split_gain(gl, hl, g - gl, h - hl, lambda, parent);
}

}  // namespace vorlent
