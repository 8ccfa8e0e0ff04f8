#include "tree/bin_histogram.hpp"

#include <algorithm>

namespace vorlent {

namespace {

// Rows per block of the bin histograms: a block's codes and gradients stay in cache while
// every group of columns takes its turn over them.
constexpr int32_t kHistogramBlock = 1024;
// Columns whose cells one pass over a block updates: their cell pointers stay in
// registers, and a cell updated by one row is updated by the next only after the other
// columns' updates, which hides the latency of adding to the same cell twice.
constexpr int64_t kHistogramLanes = 8;
// How many rows ahead the first pass over a block fetches codes.
constexpr int32_t kHistogramFetch = 32;

using v2d = double __attribute__((vector_size(16)));

template <class Code, int64_t kLanes>
inline void histogram_lanes(const Code* codes, int64_t n_features, const int32_t* rows,
                            const double* grad, const double* hess, int32_t k0, int32_t k1,
                            int32_t fetch_until, const int32_t* feature,
                            double* const* first_cell) {
    v2d* cell[kLanes];
    int32_t f[kLanes];
    for (int64_t i = 0; i < kLanes; ++i) {
        cell[i] = reinterpret_cast<v2d*>(first_cell[i]);
        f[i] = feature[i];
    }
    for (int32_t k = k0; k < k1; ++k) {
        // The first pass over a block meets its rows scattered over the matrix: it fetches
        // the codes of rows further on (up to fetch_until) while it works.
        if (k + kHistogramFetch < fetch_until) {
            prefetch_span(codes + static_cast<int64_t>(rows[k + kHistogramFetch]) * n_features,
                          n_features * sizeof(Code));
        }
        const Code* row = codes + static_cast<int64_t>(rows[k]) * n_features;
        const v2d gh = {grad[k], hess[k]};
        for (int64_t i = 0; i < kLanes; ++i) cell[i][row[f[i]]] += gh;
    }
}

}  // namespace

template <class Code>
void build_bin_histograms(const std::vector<FeatureColumn>& columns, int64_t c0, int64_t c1,
                          const int32_t* offsets, int32_t n_features, const Code* codes,
                          const int32_t* rows, const NodeGradients& node, double* cells) {
    std::fill(cells + 2 * offsets[c0], cells + 2 * offsets[c1], 0.0);
    const int64_t width = c1 - c0;
    if (width <= 0) return;
    // Columns of this group and their first cells, contiguous for the inner loops.
    int32_t* feature = static_cast<int32_t*>(__builtin_alloca(width * sizeof(int32_t)));
    double** first_cell = static_cast<double**>(__builtin_alloca(width * sizeof(double*)));
    for (int64_t i = 0; i < width; ++i) {
        feature[i] = columns[c0 + i].feature;
        first_cell[i] = cells + 2 * offsets[c0 + i];
    }
    // Each cell still adds its rows in row order: blocks in order, rows in order within.
    for (int32_t b0 = 0; b0 < node.n; b0 += kHistogramBlock) {
        const int32_t b1 = std::min(node.n, b0 + kHistogramBlock);
        int64_t i = 0;
        // Only the block's first pass fetches ahead.
        auto fetch_until = [&]() { return i == 0 ? node.n : 0; };
        for (; i + kHistogramLanes <= width; i += kHistogramLanes) {
            histogram_lanes<Code, kHistogramLanes>(codes, n_features, rows, node.grad, node.hess, b0,
                                                   b1, fetch_until(), feature + i, first_cell + i);
        }
        for (; i + 4 <= width; i += 4) {
            histogram_lanes<Code, 4>(codes, n_features, rows, node.grad, node.hess, b0, b1,
                                     fetch_until(), feature + i, first_cell + i);
        }
        for (; i < width; ++i) {
            histogram_lanes<Code, 1>(codes, n_features, rows, node.grad, node.hess, b0, b1,
                                     fetch_until(), feature + i, first_cell + i);
        }
    }
}

template void build_bin_histograms(const std::vector<FeatureColumn>&, int64_t, int64_t,
                                   const int32_t*, int32_t, const uint8_t*, const int32_t*,
                                   const NodeGradients&, double*);
template void build_bin_histograms(const std::vector<FeatureColumn>&, int64_t, int64_t,
                                   const int32_t*, int32_t, const uint16_t*, const int32_t*,
                                   const NodeGradients&, double*);

}  // namespace vorlent
