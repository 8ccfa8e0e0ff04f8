#include "exact/counter_random.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vorlent {

void sample_node_columns(uint64_t node_key, int32_t n_features, double colsample,
                         std::vector<int32_t>& out, std::vector<uint64_t>& draws) {
    out.resize(static_cast<size_t>(n_features));
    std::iota(out.begin(), out.end(), 0);
    if (!(colsample < 1.0) || n_features == 0) return;
    const double wanted = std::ceil(static_cast<double>(n_features) * colsample);
    const int32_t k = std::min(wanted > 2.0 ? static_cast<int32_t>(wanted) : 2, n_features);
    draws.resize(static_cast<size_t>(n_features));
    for (int32_t c = 0; c < n_features; ++c) {
        draws[c] = counter_hash(node_key, static_cast<uint64_t>(c));
    }
    std::nth_element(out.begin(), out.begin() + (k - 1), out.end(), [&](int32_t a, int32_t b) {
        return draws[a] != draws[b] ? draws[a] < draws[b] : a < b;
    });
    out.resize(static_cast<size_t>(k));
    std::sort(out.begin(), out.end());
}

}  // namespace vorlent
