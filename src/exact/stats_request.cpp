#include "exact/stats_request.hpp"

namespace vorlent {

HistogramShape HistogramShape::of(const BinnedMatrix& bins) {
    HistogramShape s;
    s.n_features = static_cast<int32_t>(bins.bin_low.size());
    s.bin_offset.assign(static_cast<size_t>(s.n_features) + 1, 0);
    for (int32_t f = 0; f < s.n_features; ++f) {
        s.bin_offset[f + 1] = s.bin_offset[f] + static_cast<int32_t>(bins.bin_low[f].size());
    }
    return s;
}

}  // namespace vorlent
