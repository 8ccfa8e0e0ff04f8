#pragma once
#include <cstdint>

#include "tree/node_gradients.hpp"
#include "tree/pair_config.hpp"
#include "tree/pair_sums.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// A proposed direction for a pair of columns. A failed proposal has prescore -1.
struct PairDirection {
    double prescore = -1.0;
    double coef_a = 0.0;
    double coef_b = 0.0;
    double cross_moment = 0.0;  // sum of h * x_a * x_b used by the ridge fit
    int32_t n_offsets = 0;      // categorical-numeric pairs: offsets written by the solver
};

// Ridge fit of the Newton targets on the two standardised, centred features.
PairDirection solve_pair_ridge(const PairSums& s, const PairConfig& config, int32_t fa,
                               int32_t fb);

// One offset per category code (0 .. n_categories - 1) plus a slope on the numeric column;
// the offsets, scaled with the slope to unit length, are written to `offsets`.
PairDirection solve_category_slope(const FeatureColumn& category, const FeatureColumn& numeric,
                                   const NodeGradients& node, const PairConfig& config,
                                   int32_t n_categories, double* offsets);

// The fit from its sums: solve_category_slope without the pass over the rows.
PairDirection solve_category_sums(const CategorySums& sums, const PairConfig& config,
                                  int32_t n_categories, double* offsets);

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

}  // namespace vorlent
