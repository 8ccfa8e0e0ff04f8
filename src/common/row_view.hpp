#pragma once
#include <cstdint>

#include "common/matrix.hpp"

namespace vorlent {

// Rows of n_cols doubles each, read either from one row-major matrix or, for rows held in
// several blocks, through one pointer per row (8 bytes a row instead of a copy of its values).
// A worker's row blocks are then read where they lie. NaN marks a missing value.
struct RowView {
    const double* data = nullptr;         // the matrix, when rows is null
    const double* const* rows = nullptr;  // else: row r starts at rows[r]
    int64_t n_rows = 0;
    int32_t n_cols = 0;

    RowView() = default;
    RowView(const MatrixView& m) : data(m.data), n_rows(m.n_rows), n_cols(m.n_cols) {}
    static RowView of_rows(const double* const* row_starts, int64_t n_rows, int32_t n_cols) {
        RowView v;
        v.rows = row_starts;
        v.n_rows = n_rows;
        v.n_cols = n_cols;
        return v;
    }

    const double* row(int64_t r) const { return rows != nullptr ? rows[r] : data + r * n_cols; }
    double at(int64_t r, int64_t c) const { return row(r)[c]; }
};

}  // namespace vorlent
