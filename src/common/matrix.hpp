#pragma once
#include <cstdint>

namespace vorlent {

// A dense row-major matrix of doubles; NaN marks a missing value.
// Every offset into a matrix is formed in 64 bits (int64_t(row) * n_cols + col):
// a matrix may hold more than 2^31 cells, so 32-bit index arithmetic is never used.
struct MatrixView {
    const double* data = nullptr;
    int32_t n_rows = 0;
    int32_t n_cols = 0;

    const double* row(int64_t r) const { return data + r * n_cols; }
    double at(int64_t r, int64_t c) const { return data[r * n_cols + c]; }
};

}  // namespace vorlent
