#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vorlent {

// Rows in each round's bag: subsample of n_rows, rounded down, at least 1. The round loop
// draws bags of this size and the start checks ask whether one can miss every row with a
// hessian, so both read it here.
inline int32_t bag_size(int32_t n_rows, double subsample) {
    const double wanted = std::trunc(static_cast<double>(n_rows) * subsample);
    return wanted >= 1.0 ? static_cast<int32_t>(std::min<double>(wanted, n_rows)) : 1;
}

}  // namespace vorlent
