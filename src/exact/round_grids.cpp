#include "exact/round_grids.hpp"

#include <algorithm>

namespace vorlent {

void RoundSummary::merge(const RoundSummary& other) {
    bag_rows += other.bag_rows;
    nonfinite += other.nonfinite;
    max_abs_grad = std::max(max_abs_grad, other.max_abs_grad);
    max_hess = std::max(max_hess, other.max_hess);
}

RoundGrids RoundGrids::of(const RoundSummary& summary, int32_t n_outputs) {
    const double rows = static_cast<double>(summary.bag_rows) * (n_outputs > 1 ? 2.0 : 1.0);
    return RoundGrids{FixedGrid::for_bound(summary.max_abs_grad * rows),
                      FixedGrid::for_bound(summary.max_hess * rows)};
}

}  // namespace vorlent
