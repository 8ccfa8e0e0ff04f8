#pragma once
// A worker's rows as a Shard takes them from Python: one block of rows or several.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

#include "boosting/booster.hpp"
#include "boosting/row_shard.hpp"
#include "module/arrays.hpp"

namespace vorlent::binding {

// One block: X is read in place and kept alive by the shard (a float64 C-contiguous array is
// not copied); y and sample_weight are copied.
std::unique_ptr<RowShard> shard_of_array(const F64Array& X, const F64Array& y,
                                         const OptionalF64Array& w, int64_t first_row,
                                         const Booster& settings);

// Blocks (X, y, w, first_row) held together in one shard; every block has the same columns
// and all or none has weights. Each block's X is read in place (converted once when it is not
// float64 and C-contiguous): the shard keeps the arrays alive and reaches their rows through
// one pointer per row, so a worker holds its rows once. The targets and weights are copied.
std::unique_ptr<RowShard> shard_of_blocks(const py::list& blocks, const Booster& settings);

}  // namespace vorlent::binding
