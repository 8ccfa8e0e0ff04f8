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

template <class Code, int64_t kLanes, bool kCount>
inline void histogram_lanes(const Code* codes, int64_t n_features, const int32_t* rows,
                            const double* grad, const double* hess, int32_t k0, int32_t k1,
                            int32_t fetch_until, const int32_t* feature,
                            double* const* first_cell, int32_t* const* first_count) {
    v2d* cell[kLanes];
    int32_t* count[kLanes];
    int32_t f[kLanes];
    for (int64_t i = 0; i < kLanes; ++i) {
        cell[i] = reinterpret_cast<v2d*>(first_cell[i]);
        if constexpr (kCount) count[i] = first_count[i];
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
        if constexpr (kCount) {
            const int32_t positive = hess[k] > 0.0 ? 1 : 0;
            for (int64_t i = 0; i < kLanes; ++i) count[i][row[f[i]]] += positive;
        }
    }
}

template <class Code, bool kCount>
void build_histograms(const std::vector<FeatureColumn>& columns, int64_t c0, int64_t c1,
                      const int32_t* offsets, int32_t n_features, const Code* codes,
                      const int32_t* rows, const NodeGradients& node, double* cells,
                      int32_t* counts) {
    std::fill(cells + 2 * offsets[c0], cells + 2 * offsets[c1], 0.0);
    if constexpr (kCount) std::fill(counts + offsets[c0], counts + offsets[c1], 0);
    const int64_t width = c1 - c0;
    if (width <= 0) return;
    // Columns of this group and their first cells, contiguous for the inner loops.
    int32_t* feature = static_cast<int32_t*>(__builtin_alloca(width * sizeof(int32_t)));
    double** first_cell = static_cast<double**>(__builtin_alloca(width * sizeof(double*)));
    int32_t** first_count = static_cast<int32_t**>(__builtin_alloca(width * sizeof(int32_t*)));
    for (int64_t i = 0; i < width; ++i) {
        feature[i] = columns[c0 + i].feature;
        first_cell[i] = cells + 2 * offsets[c0 + i];
        first_count[i] = kCount ? counts + offsets[c0 + i] : nullptr;
    }
    // Each cell still adds its rows in row order: blocks in order, rows in order within.
    for (int32_t b0 = 0; b0 < node.n; b0 += kHistogramBlock) {
        const int32_t b1 = std::min(node.n, b0 + kHistogramBlock);
        int64_t i = 0;
        // Only the block's first pass fetches ahead.
        auto fetch_until = [&]() { return i == 0 ? node.n : 0; };
        for (; i + kHistogramLanes <= width; i += kHistogramLanes) {
            histogram_lanes<Code, kHistogramLanes, kCount>(codes, n_features, rows, node.grad,
                                                           node.hess, b0, b1, fetch_until(),
                                                           feature + i, first_cell + i,
                                                           first_count + i);
        }
        for (; i + 4 <= width; i += 4) {
            histogram_lanes<Code, 4, kCount>(codes, n_features, rows, node.grad, node.hess, b0,
                                             b1, fetch_until(), feature + i, first_cell + i,
                                             first_count + i);
        }
        for (; i < width; ++i) {
            histogram_lanes<Code, 1, kCount>(codes, n_features, rows, node.grad, node.hess, b0,
                                             b1, fetch_until(), feature + i, first_cell + i,
                                             first_count + i);
        }
    }
}

}  // namespace

template <class Code>
void build_bin_histograms(const std::vector<FeatureColumn>& columns, int64_t c0, int64_t c1,
                          const int32_t* offsets, int32_t n_features, const Code* codes,
                          const int32_t* rows, const NodeGradients& node, double* cells,
                          int32_t* counts) {
    if (counts != nullptr) {
        build_histograms<Code, true>(columns, c0, c1, offsets, n_features, codes, rows, node,
                                     cells, counts);
    } else {
        build_histograms<Code, false>(columns, c0, c1, offsets, n_features, codes, rows, node,
                                      cells, nullptr);
    }
}

template void build_bin_histograms(const std::vector<FeatureColumn>&, int64_t, int64_t,
                                   const int32_t*, int32_t, const uint8_t*, const int32_t*,
                                   const NodeGradients&, double*, int32_t*);
template void build_bin_histograms(const std::vector<FeatureColumn>&, int64_t, int64_t,
                                   const int32_t*, int32_t, const uint16_t*, const int32_t*,
                                   const NodeGradients&, double*, int32_t*);

bool subtract_bin_histograms(const double* parent, const int32_t* parent_counts,
                             const double* sibling, const int32_t* sibling_counts, int64_t n_bins,
                             double* cells, int32_t* counts) {
    bool kept = true;
    for (int64_t b = 0; b < n_bins; ++b) {
        const int32_t count = parent_counts[b] - sibling_counts[b];
        counts[b] = count;
        if (count == 0) {
            cells[2 * b] = 0.0;
            cells[2 * b + 1] = 0.0;
            continue;
        }
        cells[2 * b] = parent[2 * b] - sibling[2 * b];
        cells[2 * b + 1] = parent[2 * b + 1] - sibling[2 * b + 1];
        kept = kept && cells[2 * b + 1] > 0.0;
    }
    return kept;
}

}  // namespace vorlent
