#pragma once
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "common/matrix.hpp"

namespace vorlent::binding {

namespace py = pybind11;

// Array parameters: C-contiguous and aligned for their type, with forced casting, so an
// array of the right type, order and alignment is used without a copy and anything else
// NumPy can convert is converted (a misaligned array, say from np.frombuffer at an odd
// offset, is copied: the core reads elements as typed loads).
inline constexpr int kArrayFlags =
    py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_;
using F64Array = py::array_t<double, kArrayFlags>;
using I64Array = py::array_t<int64_t, kArrayFlags>;
using I32Array = py::array_t<int32_t, kArrayFlags>;
// An optional array: None means the same as the empty default.
using OptionalF64Array = std::optional<F64Array>;

inline F64Array empty_f64() { return F64Array(py::ssize_t{0}); }

[[noreturn]] inline void fail(const std::string& message) { throw py::value_error(message); }

// The first extent of an array, checked to fit the 32-bit counts of the core.
inline int32_t extent32(const py::array& a, const char* name, py::ssize_t axis = 0) {
    const py::ssize_t n = a.ndim() > axis ? a.shape(axis) : 1;
    if (n > std::numeric_limits<int32_t>::max()) {
        fail(std::string(name) + " has too many entries along axis " + std::to_string(axis) +
             " (at most 2147483647)");
    }
    return static_cast<int32_t>(n);
}

// A two-dimensional feature matrix, rows by columns.
inline MatrixView as_matrix(const F64Array& a, const char* name) {
    if (a.ndim() != 2) {
        fail(std::string(name) + " must be a two-dimensional array, got " +
             std::to_string(a.ndim()) + " dimension(s)");
    }
    return MatrixView{a.data(), extent32(a, name, 0), extent32(a, name, 1)};
}

// A one-dimensional vector.
template <class T>
inline int64_t vector_length(const py::array_t<T, kArrayFlags>& a, const char* name) {
    if (a.ndim() != 1) {
        fail(std::string(name) + " must be a one-dimensional array, got " +
             std::to_string(a.ndim()) + " dimension(s)");
    }
    return a.shape(0);
}

inline F64Array value_or_empty(const OptionalF64Array& a) { return a ? *a : empty_f64(); }

}  // namespace vorlent::binding
