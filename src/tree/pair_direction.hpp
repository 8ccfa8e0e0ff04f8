#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tree/histogram.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// What the direction solvers read from the booster's configuration.
struct PairConfig {
    double lambda = 1.0;
    const std::vector<int32_t>* categorical = nullptr;  // an index beyond the list counts as 0
    const std::vector<int32_t>* monotone = nullptr;     // empty: no constraints
    const std::vector<double>* feature_scale = nullptr;  // an index beyond counts as 1.0

    bool is_categorical(int32_t f) const {
        return f >= 0 && static_cast<size_t>(f) < categorical->size() && (*categorical)[f] != 0;
    }
    double scale(int32_t f) const {
        return f >= 0 && static_cast<size_t>(f) < feature_scale->size() ? (*feature_scale)[f] : 1.0;
    }
    int32_t monotone_of(int32_t f) const {
        return f >= 0 && static_cast<size_t>(f) < monotone->size() ? (*monotone)[f] : 0;
    }
};

// A proposed direction for a pair of columns. A failed proposal has prescore -1.
struct PairDirection {
    double prescore = -1.0;
    double coef_a = 0.0;
    double coef_b = 0.0;
    double cross_moment = 0.0;  // sum of h * x_a * x_b used by the ridge fit
    int32_t n_offsets = 0;      // categorical-numeric pairs: offsets written by the solver
};

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
// in blocks (ScreenBlock below), in order, so each pair's sums are exactly those of its
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
struct ScreenBlock;
void pair_sums_block(const ScreenBlock& block, int32_t a, int32_t lane_b, const NodeGradients& node,
                     PairSumLanes& sums);

// Ridge fit of the Newton targets on the two standardised, centred features.
PairDirection solve_pair_ridge(const PairSums& s, const PairConfig& config, int32_t fa,
                               int32_t fb);

// One offset per category code (0 .. n_categories - 1) plus a slope on the numeric column;
// the offsets, scaled with the slope to unit length, are written to `offsets`.
PairDirection solve_category_slope(const FeatureColumn& category, const FeatureColumn& numeric,
                                   const NodeGradients& node, const PairConfig& config,
                                   int32_t n_categories, double* offsets);

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
// The fit from its sums: solve_category_slope without the pass over the rows.
PairDirection solve_category_sums(const CategorySums& sums, const PairConfig& config,
                                  int32_t n_categories, double* offsets);
// The largest code of a categorical column over the node rows, starting from 0; NaN and
// negative values never raise it.
int32_t largest_code(const FeatureColumn& category, int32_t n);

// CategorySums of kCategoryLanes numeric columns against one categorical column, a vector
// lane per numeric column; rows come in blocks (ScreenBlock below), in order, so each
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

// The direction of one pair of columns: categorical-numeric when exactly one column is
// categorical with 1 to 31 as its largest code in the node, the ridge fit otherwise.
// `offsets` receives up to kMaxPairCategories values. A pair without missing values uses
// `cross_moment` when it is given, and computes it otherwise; a missing-aware pair fitted
// by ridge uses `missing_sums` when they are given, and takes its own pass otherwise;
// likewise a categorical-numeric pair with `category_sums`.
PairDirection pair_direction(const FeatureColumn& a, const FeatureColumn& b,
                             const NodeGradients& node, const float* hess_f32,
                             const PairConfig& config, bool missing_aware, double Hs, double R0,
                             const FeatureMoments& ma, const FeatureMoments& mb, double* offsets,
                             const float* cross_moment = nullptr,
                             const PairSums* missing_sums = nullptr,
                             const CategorySums* category_sums = nullptr);

// How well the product of the two standardised columns explains the gradients.
double screen_pair(const FeatureColumn& a, const FeatureColumn& b, const NodeGradients& node,
                   const PairConfig& config);

// The screening of up to kScreenLanes pairs that share their first column, one lane per
// pair, over blocks of rows given in double precision, one row after another. Rows are
// added block by block, in order, so each pair's sums are exactly those of screen_pair on
// its own.
inline constexpr int32_t kScreenLanes = 8;
struct ScreenSums {
    double hz[kScreenLanes] = {}, rz[kScreenLanes] = {}, sz[kScreenLanes] = {};
    double szz[kScreenLanes] = {}, rzz[kScreenLanes] = {};
};
// Node rows [k0, k0 + rows) of some columns: column c's value at row k0 + k is
// values[k * stride + c]. A pass reads kScreenLanes columns side by side, so a row holds
// at least that many values past the last column a pass starts at.
struct ScreenBlock {
    const double* values;
    int64_t stride;
    int32_t k0;
    int32_t rows;
};
// Transposes node rows [k0, k0 + rows) of the columns into `out` (rows * stride values),
// padding each row with zeros after the last column.
ScreenBlock fill_screen_block(const FeatureColumn* const* columns, int32_t count, int32_t k0,
                              int32_t rows, int64_t stride, double* out);
// Adds a block to the sums of the pairs (a, lane_b + j): column a against the columns
// lane_b, lane_b + 1, ... of the block; inv[j] = 1 / (scale of lane j's feature * scale
// of a's feature).
void screen_block(const ScreenBlock& block, int32_t a, int32_t lane_b, const double* inv,
                  const NodeGradients& node, ScreenSums& sums);
// screen_block for columns without missing values: every row counts, so the hessian and
// negative-gradient totals of each lane are the node's, which the caller sets in hz and rz.
void screen_block_complete(const ScreenBlock& block, int32_t a, int32_t lane_b, const double* inv,
                           const NodeGradients& node, ScreenSums& sums);
double screen_result(const ScreenSums& sums, int32_t lane, double lambda);
// Scores of the pairs (a, b[j]) for j < count <= kScreenLanes over every node row.
void screen_pairs(const FeatureColumn& a, const FeatureColumn* const* b, int32_t count,
                  const NodeGradients& node, const PairConfig& config, double* scores);

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
