#include "tree/column_sampling.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vorlent {

void sample_columns(int32_t n_features, double colsample, Rng& rng, std::vector<int32_t>& out) {
    out.resize(static_cast<size_t>(n_features));
    std::iota(out.begin(), out.end(), 0);
    // Without columns there is nothing to sample, nor a feature 0 to pad with.
    if (!(colsample < 1.0) || n_features == 0) return;
    const double wanted = std::ceil(static_cast<double>(n_features) * colsample);
    const int32_t k = wanted > 2.0 ? static_cast<int32_t>(wanted) : 2;
    shuffle_indices(out, rng);
    out.resize(static_cast<size_t>(k), 0);
    std::sort(out.begin(), out.end());
}

}  // namespace vorlent
