#include "module/shard_input.hpp"

#include <utility>
#include <vector>

namespace vorlent::binding {
namespace {

std::vector<double> copy_or_empty(const OptionalF64Array& a, const char* name) {
    if (!a) return {};
    return std::vector<double>(a->data(), a->data() + vector_length(*a, name));
}

// The array's values, read in place rather than copied (a worker's block stays in memory
// once): the pointer holds a reference to the array and drops it with the interpreter lock,
// whichever thread lets the shard go.
std::shared_ptr<const double> held_values(const F64Array& X) {
    auto* owner = new py::object(X);
    return std::shared_ptr<const double>(X.data(), [owner](const double*) {
        py::gil_scoped_acquire held;
        delete owner;
    });
}

}  // namespace

std::unique_ptr<RowShard> shard_of_array(const F64Array& X, const F64Array& y,
                                         const OptionalF64Array& w, int64_t first_row,
                                         const Booster& settings) {
    const MatrixView view = as_matrix(X, "X");
    if (vector_length(y, "y") != view.n_rows) fail("y must have one entry per row");
    return std::make_unique<RowShard>(held_values(X), view.n_rows, view.n_cols,
                                      std::vector<double>(y.data(), y.data() + view.n_rows),
                                      copy_or_empty(w, "sample_weight"), w.has_value(), first_row,
                                      settings.params);
}

std::unique_ptr<RowShard> shard_of_blocks(const py::list& blocks, const Booster& settings) {
    if (blocks.empty()) fail("blocks must hold at least one block");
    // Every block is checked before anything is built.
    struct Block {
        F64Array X, y;
        OptionalF64Array w;
        int64_t first_row;
    };
    std::vector<Block> checked;
    int64_t total_rows = 0;
    int32_t n_features = -1;
    int weighted = -1;
    for (const py::handle h : blocks) {
        if (!py::isinstance<py::tuple>(h) || py::len(h) != 4) {
            fail("blocks: each block is (X, y, sample_weight, first_row)");
        }
        const auto block = h.cast<py::tuple>();
        const auto X = F64Array::ensure(block[0]);
        const auto y = F64Array::ensure(block[1]);
        OptionalF64Array w;
        if (!block[2].is_none()) w = F64Array::ensure(block[2]);
        if (!X || !y || (w && !*w)) {
            fail("blocks: X, y and sample_weight must be arrays of numbers");
        }
        const auto first_row = block[3].cast<int64_t>();
        const MatrixView view = as_matrix(X, "X");
        const int64_t n = vector_length(y, "y");
        if (n != view.n_rows) fail("y must have one entry per row");
        if (n_features >= 0 && view.n_cols != n_features) fail("blocks of unequal widths");
        if (weighted >= 0 && weighted != static_cast<int>(w.has_value())) {
            fail("blocks: all or none of them have weights");
        }
        if (w && vector_length(*w, "sample_weight") != n) fail("sample_weight: one per row");
        if (first_row < 0) fail("blocks: first_row must be >= 0");
        n_features = view.n_cols;
        weighted = static_cast<int>(w.has_value());
        checked.push_back(Block{X, y, w, first_row});
        total_rows += n;
    }
    std::vector<double> targets, weights;
    targets.reserve(static_cast<size_t>(total_rows));
    if (weighted == 1) weights.reserve(static_cast<size_t>(total_rows));
    std::vector<RowBlock> held;
    for (const Block& b : checked) {
        const int64_t n = b.y.shape(0);
        targets.insert(targets.end(), b.y.data(), b.y.data() + n);
        if (b.w) weights.insert(weights.end(), b.w->data(), b.w->data() + n);
        held.push_back(RowBlock{held_values(b.X), n, b.first_row});
    }
    return std::make_unique<RowShard>(std::move(held), n_features, std::move(targets),
                                      std::move(weights), weighted == 1, settings.params);
}

}  // namespace vorlent::binding
