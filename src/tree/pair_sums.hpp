#pragma once
// The sums of pairs of columns over a node's rows that the direction solvers fit from.
#include <cstdint>

#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"
#include "tree/screen_block.hpp"

namespace vorlent {

// Largest number of category codes a categorical-numeric pair can have (codes 0 .. 31).
inline constexpr int32_t kMaxPairCategories = 32;

// Sums of a pair of columns over the node rows, hessian-weighted.
struct PairSums {
    double H = 0.0, S_a = 0.0, S_b = 0.0, S_aa = 0.0, S_ab = 0.0, S_bb = 0.0;
    double T_a = 0.0, T_b = 0.0, T0 = 0.0;  // sums of -g * x_a, -g * x_b, -g

    // Adds a row whose two values are numbers; r is the row's -g.
    void add(double xa, double xb, double h, double r) {
        H += h;
        S_a += h * xa;
        S_b += h * xb;
        S_aa += h * xa * xa;
        S_ab += h * xa * xb;
        S_bb += h * xb * xb;
        T_a += r * xa;
        T_b += r * xb;
        T0 += r;
    }
};

// The sums of PairSums for kPairSumLanes pairs (a, lane_b + j) that share their first
// column, over the rows where both values are numbers, one vector lane per pair; rows come
// in blocks (ScreenBlock, tree/screen_block.hpp), in order, so each pair's sums are exactly those of its
// own pass.
inline constexpr int32_t kPairSumLanes = 4;
struct PairSumLanes {
    double H[kPairSumLanes] = {}, S_a[kPairSumLanes] = {}, S_b[kPairSumLanes] = {};
    double S_aa[kPairSumLanes] = {}, S_ab[kPairSumLanes] = {}, S_bb[kPairSumLanes] = {};
    double T_a[kPairSumLanes] = {}, T_b[kPairSumLanes] = {}, T0[kPairSumLanes] = {};

    PairSums lane(int32_t j) const {
        return PairSums{H[j], S_a[j], S_b[j], S_aa[j], S_ab[j], S_bb[j], T_a[j], T_b[j], T0[j]};
    }
};
void pair_sums_block(const ScreenBlock& block, int32_t a, int32_t lane_b, const NodeGradients& node,
                     PairSumLanes& sums);

// The sums the categorical-numeric fit needs, over the rows where both values are numbers
// and the code q lies in [0, n_categories): per category n_q = sum h, r_q = sum -g,
// s_q = sum h x; and hc = sum h, t = sum -g x, sxx = sum h x^2 (x the numeric value).
// `top` is the categorical column's largest code in the node (0 when none is positive).
struct CategorySums {
    int32_t top = 0;
    double n_q[kMaxPairCategories] = {}, r_q[kMaxPairCategories] = {};
    double s_q[kMaxPairCategories] = {};
    double hc = 0.0, t = 0.0, sxx = 0.0;
};
// The largest code of a categorical column over the node rows, starting from 0; NaN and
// negative values never raise it.
int32_t largest_code(const FeatureColumn& category, int32_t n);

// CategorySums of kCategoryLanes numeric columns against one categorical column, a vector
// lane per numeric column; rows come in blocks (ScreenBlock, tree/screen_block.hpp), in order, so each
// lane's sums are exactly those of its own pass.
inline constexpr int32_t kCategoryLanes = 4;
struct CategoryLanes {
    double n_q[kMaxPairCategories][kCategoryLanes] = {}, r_q[kMaxPairCategories][kCategoryLanes] = {};
    double s_q[kMaxPairCategories][kCategoryLanes] = {};
    double hc[kCategoryLanes] = {}, t[kCategoryLanes] = {}, sxx[kCategoryLanes] = {};

    CategorySums lane(int32_t j, int32_t top) const;
};
void category_sums_block(const ScreenBlock& block, int32_t category, int32_t lane_b,
                         int32_t n_categories, const NodeGradients& node, CategoryLanes& sums);


// Sum of x_a * h * x_b in single precision over n rows: row k adds into lane k mod 8 (rows
// may come in several calls of cross_moment_lanes, each starting at a multiple of 8), and
// the lanes are added in order at the end. The loop vectorises, and the result depends
// only on the data, never on the machine or the thread count.
inline constexpr int32_t kCrossLanes = 8;
void cross_moment_lanes(const float* xa, const float* xb, const float* h, int32_t k0, int32_t k1,
                        float* lane);
// cross_moment_lanes of kCrossShared pairs that share their first column, each with its
// own lanes; every pair's lanes get exactly what cross_moment_lanes would give them.
inline constexpr int32_t kCrossShared = 4;
void cross_moment_lanes_shared(const float* xa, const float* const* xb, const float* h, int32_t k0,
                               int32_t k1, float* const* lanes);
float cross_moment_total(const float* lane);
float cross_moment_f32(const float* xa, const float* xb, const float* h, int32_t n);

}  // namespace vorlent
