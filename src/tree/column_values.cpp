#include "tree/column_values.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "common/parallel.hpp"

namespace vorlent {

namespace {

// Columns handled together by one row-major pass.
constexpr int64_t kColumnGroup = 64;

// The columns of one row-major pass: those that take moments (features mf, values mv) and
// those that only take values (features pf, values pv).
struct ColumnPass {
    const int32_t* mf;
    float* const* mv;
    int64_t n_m;
    const int32_t* pf;
    float* const* pv;
    int64_t n_p;
    int32_t first;  // the smallest and largest feature of the pass
    int32_t last;
};

// Values and moments of the pass's columns, accumulated row by row in one pass over the
// rows: the row's moment values are first copied side by side (straight from the matrix
// when their features are neighbours), so the vector lanes are columns and the vector
// width of the machine never changes a sum.
template <bool kNeighbours>
__attribute__((always_inline)) inline void pass_moments(const MatrixView& X, const int32_t* rows,
                                                        int64_t n, const ColumnPass& c,
                                                        const NodeGradients& node,
                                                        double* __restrict shx,
                                                        double* __restrict shxx,
                                                        double* __restrict srx,
                                                        double* __restrict lo,
                                                        double* __restrict hi) {
    double gathered[kColumnGroup];
    for (int64_t k = 0; k < n; ++k) {
        if (k + kPrefetchDistance < n) {
            prefetch_span(X.row(rows[k + kPrefetchDistance]) + c.first,
                          (c.last - c.first + 1) * sizeof(double));
        }
        const double* row = X.row(rows[k]);
        const double* __restrict x = gathered;
        if constexpr (kNeighbours) {
            x = row + c.mf[0];  // the moment columns are neighbours
        } else {
            for (int64_t j = 0; j < c.n_m; ++j) gathered[j] = row[c.mf[j]];
        }
        const double h = node.hess[k];
        const double r = -node.grad[k];
        for (int64_t j = 0; j < c.n_m; ++j) {
            shx[j] += h * x[j];
            shxx[j] += h * x[j] * x[j];
            srx[j] += r * x[j];
            lo[j] = x[j] < lo[j] ? x[j] : lo[j];
            hi[j] = x[j] > hi[j] ? x[j] : hi[j];
        }
        for (int64_t j = 0; j < c.n_m; ++j) c.mv[j][k] = static_cast<float>(x[j]);
        for (int64_t j = 0; j < c.n_p; ++j) c.pv[j][k] = static_cast<float>(row[c.pf[j]]);
    }
}

VORLENT_HOT_KERNEL
void neighbour_moments(const MatrixView& X, const int32_t* rows, int64_t n, const ColumnPass& c,
                       const NodeGradients& node, double* shx, double* shxx, double* srx,
                       double* lo, double* hi) {
    pass_moments<true>(X, rows, n, c, node, shx, shxx, srx, lo, hi);
}

VORLENT_HOT_KERNEL
void gathered_moments(const MatrixView& X, const int32_t* rows, int64_t n, const ColumnPass& c,
                      const NodeGradients& node, double* shx, double* shxx, double* srx,
                      double* lo, double* hi) {
    pass_moments<false>(X, rows, n, c, node, shx, shxx, srx, lo, hi);
}

}  // namespace

void fill_columns(std::vector<FeatureColumn>& columns, const std::vector<bool>& has_missing,
                  const MatrixView& X, const int32_t* rows, const NodeGradients& node,
                  FeatureMoments* moments) {
    const int64_t c = static_cast<int64_t>(columns.size());
    const int64_t n = node.n;
    // Columns are split into contiguous groups, one per thread. A group walks the rows in
    // order, reading each row once for all its columns, so every column's sums keep row
    // order whatever the thread count.
    const bool parallel = c > 1 && c * n > kParallelMomentCells;
    parallel_blocks(c, parallel, [&](int64_t c0, int64_t c1) {
        for (int64_t g0 = c0; g0 < c1; g0 += kColumnGroup) {
            const int64_t g1 = std::min(c1, g0 + kColumnGroup);
            // Columns that take moments, and the others (missing values, or no moments).
            int32_t mf[kColumnGroup], pf[kColumnGroup];
            float* mv[kColumnGroup];
            float* pv[kColumnGroup];
            int64_t mi[kColumnGroup];
            int64_t n_m = 0, n_p = 0;
            for (int64_t i = g0; i < g1; ++i) {
                FeatureColumn& col = columns[i];
                if (moments != nullptr && !has_missing[col.feature]) {
                    mf[n_m] = col.feature;
                    mv[n_m] = col.values;
                    mi[n_m++] = i;
                } else {
                    if (moments != nullptr) moments[i] = FeatureMoments{};
                    if (col.filled) continue;
                    pf[n_p] = col.feature;
                    pv[n_p++] = col.values;
                }
            }
            double shx[kColumnGroup] = {}, shxx[kColumnGroup] = {}, srx[kColumnGroup] = {};
            double lo[kColumnGroup], hi[kColumnGroup];
            std::fill(lo, lo + n_m, kInf);
            std::fill(hi, hi + n_m, -kInf);
            bool neighbours = n_m > 0;
            for (int64_t j = 1; j < n_m; ++j) neighbours = neighbours && mf[j] == mf[0] + j;
            int32_t first = std::numeric_limits<int32_t>::max(), last = -1;
            for (int64_t j = 0; j < n_m; ++j) {
                first = std::min(first, mf[j]);
                last = std::max(last, mf[j]);
            }
            for (int64_t j = 0; j < n_p; ++j) {
                first = std::min(first, pf[j]);
                last = std::max(last, pf[j]);
            }
            const ColumnPass pass{mf, mv, n_m, pf, pv, n_p, first, last};
            if (neighbours) {
                neighbour_moments(X, rows, n, pass, node, shx, shxx, srx, lo, hi);
            } else if (n_m + n_p > 0) {
                gathered_moments(X, rows, n, pass, node, shx, shxx, srx, lo, hi);
            }
            for (int64_t j = 0; j < n_m; ++j) {
                moments[mi[j]] = FeatureMoments{shx[j], shxx[j], srx[j], lo[j], hi[j]};
            }
            for (int64_t i = g0; i < g1; ++i) columns[i].filled = true;
        }
    });
}

}  // namespace vorlent
