#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"
#include "prep/folds.hpp"
#include "prep/target_encoding.hpp"

namespace vorlent::binding {
namespace {

// Hands a result vector to NumPy without copying: the array keeps the vector alive.
template <class T>
py::array_t<T> to_array(std::vector<T>&& values) {
    auto owned = std::make_unique<std::vector<T>>(std::move(values));
    py::capsule owner(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
    std::vector<T>* kept = owned.release();
    return py::array_t<T>(static_cast<py::ssize_t>(kept->size()), kept->data(), owner);
}

template <class T>
std::span<const T> as_span(const py::array_t<T, kArrayFlags>& a, const char* name) {
    return {a.data(), static_cast<size_t>(vector_length(a, name))};
}

}  // namespace

void register_prep(py::module_& m) {
    m.def(
        "make_folds",
        [](const F64Array& y, int32_t nf, uint32_t seed, bool stratified) {
            const std::span<const double> targets = as_span(y, "y");
            return to_array(without_gil([&] { return make_folds(targets, nf, seed, stratified); }));
        },
        py::arg("y"), py::arg("nf"), py::arg("seed"), py::arg("stratified"), docs::kMakeFolds);
    m.def(
        "te_fit_transform",
        // Folds arrive as doubles, so that fractional or out-of-range entries of any integer
        // type reach the check instead of being truncated or wrapped by the conversion.
        [](const I64Array& codes, const F64Array& y, const F64Array& folds, int32_t K, int32_t nf) {
            const std::span<const int64_t> code_span = as_span(codes, "codes");
            const std::span<const double> y_span = as_span(y, "y");
            const std::span<const double> fold_span = as_span(folds, "folds");
            TargetEncoding fitted =
                without_gil([&] { return te_fit_transform(code_span, y_span, fold_span, K, nf); });
            py::array_t<double> encodings = to_array(std::move(fitted.encodings));
            py::array_t<double> full_map = to_array(std::move(fitted.full_map));
            return py::make_tuple(encodings, full_map, fitted.gmean);
        },
        py::arg("codes"), py::arg("y"), py::arg("folds"), py::arg("K"), py::arg("nf"),
        docs::kTeFitTransform);
    m.def(
        "te_transform",
        [](const I64Array& codes, const F64Array& full_map, double gmean) {
            const std::span<const int64_t> code_span = as_span(codes, "codes");
            const std::span<const double> map_span = as_span(full_map, "full_map");
            return to_array(without_gil([&] { return te_transform(code_span, map_span, gmean); }));
        },
        py::arg("codes"), py::arg("full_map"), py::arg("gmean"), docs::kTeTransform);
}

}  // namespace vorlent::binding
