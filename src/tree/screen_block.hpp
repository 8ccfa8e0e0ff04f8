#pragma once
// Node rows of several columns copied side by side in double precision: the rows that the
// passes over many pairs (screening, pair sums) read a block at a time, in cache.
#include <cstdint>

#include "tree/node_gradients.hpp"
#include "tree/scratch.hpp"

namespace vorlent {

// Node rows [k0, k0 + rows) of some columns: column c's value at row k0 + k is
// values[k * stride + c]. A pass reads several columns side by side (a vector of lanes), so
// a row holds at least that many values past the last column a pass starts at.
struct ScreenBlock {
    const double* values;
    int64_t stride;
    int32_t k0;
    int32_t rows;
};
// Transposes node rows [k0, k0 + rows) of the columns into `out` (rows * stride values),
// padding each row with zeros after the last column.
ScreenBlock fill_screen_block(const FeatureColumn* const* columns, int32_t count, int32_t k0,
                              int32_t rows, int64_t stride, double* out);

// Calls body(row, x_a, h, -g) for every row of the block, in order.
template <class Body>
__attribute__((always_inline)) inline void for_block_rows(const ScreenBlock& block, int32_t a,
                                                          const NodeGradients& node, Body&& body) {
    const double* hess = node.hess + block.k0;
    const double* grad = node.grad + block.k0;
    for (int32_t k = 0; k < block.rows; ++k) {
        const double* row = block.values + k * block.stride;
        body(row, row[a], hess[k], -grad[k]);
    }
}

}  // namespace vorlent
