#pragma once
#include <cstdint>

#include "exact/fixed_grid.hpp"

namespace vorlent {

// The round's facts that fix the grids: merged by addition (rows) and maximum (magnitudes,
// which are never negative, so the maximum is order-free).
struct RoundSummary {
    int64_t bag_rows = 0;
    int64_t nonfinite = 0;      // bag rows with a gradient or hessian that is not finite
    double max_abs_grad = 0.0;  // over the bag rows and outputs
    double max_hess = 0.0;

    void merge(const RoundSummary& other);
};

// The two grids of a round.
struct RoundGrids {
    FixedGrid grad;
    FixedGrid hess;

    // From the merged summary: bounds max * rows, doubled for several outputs.
    static RoundGrids of(const RoundSummary& summary, int32_t n_outputs);
};

}  // namespace vorlent
