#pragma once
// The forms every shard message is built from: NumPy arrays for vectors, bytes for the
// packed statistics and selection counts, Python ints for exact sums.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/exact_sum.hpp"
#include "module/arrays.hpp"

namespace vorlent::binding {

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

template <class T>
std::vector<T> from_numpy(const py::handle& h) {
    const auto a = py::array_t<T, kArrayFlags>::ensure(h);
    if (!a || a.ndim() != 1) fail("shard message: a one-dimensional array expected");
    return std::vector<T>(a.data(), a.data() + a.shape(0));
}

// A shard's statistics and selection counts travel packed (exact/stats_codec.hpp), as bytes:
// both are mostly zeros (empty bins, digits without keys).
void unpack_answer(const py::handle& h, std::vector<int64_t>& out);
py::bytes packed(const std::vector<int64_t>& words);
// Counts are unsigned words: packed as their two's-complement int64 (the empty slot's
// UINT64_MAX, -1, takes one byte).
py::bytes packed_counts(const std::vector<uint64_t>& counts);
// Count buffers of many selections (one per column or node), each packed.
py::list packed_count_list(const std::vector<std::vector<uint64_t>>& buffers);
std::vector<uint64_t> unpacked_counts(const py::handle& h);

// An exact sum's total in steps, as a Python int.
py::object encode_steps(const ExactSum& s);
ExactInt decode_steps(const py::handle& h);

}  // namespace vorlent::binding
