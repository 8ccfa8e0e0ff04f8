#include <Python.h>

#include "boosting/train.hpp"
#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"

namespace vorlent::binding {
namespace {

VectorArg vector_arg(const F64Array& a, const char* name) {
    return VectorArg{a.data(), vector_length(a, name)};
}

// Training runs without the interpreter lock and takes it back between rounds only on the
// main thread, the one thread whose pending signals (Ctrl-C) can be handled: training then
// stops after the complete round and the signal's exception propagates. Other threads
// never wait for the lock between rounds.
RoundHook between_rounds() {
    if (!on_main_thread()) return {};
    return run_signal_handlers;
}

}  // namespace

void def_training(BoosterClass& cls) {
    cls.def(
           "fit",
           [](Booster& b, const F64Array& X, const F64Array& y,
              const OptionalF64Array& sample_weight, const OptionalF64Array& X_val,
              const OptionalF64Array& y_val, int32_t es_patience, double es_tol) {
               const MatrixView x = as_matrix(X, "X");
               const F64Array w = value_or_empty(sample_weight);
               const F64Array xv = value_or_empty(X_val);
               const F64Array yv = value_or_empty(y_val);
               const VectorArg y_val_arg = vector_arg(yv, "y_val");
               // X_val is read only when there are validation targets.
               const MatrixView x_val = y_val_arg.size > 0 ? as_matrix(xv, "X_val") : MatrixView{};
               const VectorArg y_arg = vector_arg(y, "y");
               const VectorArg w_arg = vector_arg(w, "sample_weight");
               const RoundHook hook = between_rounds();
               without_gil(
                   [&] { fit(b, x, y_arg, w_arg, x_val, y_val_arg, es_patience, es_tol, hook); });
           },
           py::arg("X"), py::arg("y"), py::arg("sample_weight") = empty_f64(),
           py::arg("X_val") = empty_f64(), py::arg("y_val") = empty_f64(),
           py::arg("es_patience") = 0, py::arg("es_tol") = 1e-4, docs::kFit)
        .def(
            "fit_more",
            [](Booster& b, const F64Array& X, const F64Array& y, int32_t extra,
               const OptionalF64Array& sample_weight) {
                const MatrixView x = as_matrix(X, "X");
                const F64Array w = value_or_empty(sample_weight);
                const VectorArg y_arg = vector_arg(y, "y");
                const VectorArg w_arg = vector_arg(w, "sample_weight");
                const RoundHook hook = between_rounds();
                without_gil([&] { fit_more(b, x, y_arg, extra, w_arg, hook); });
            },
            py::arg("X"), py::arg("y"), py::arg("extra"), py::arg("sample_weight") = empty_f64(),
            docs::kFitMore);
}

}  // namespace vorlent::binding
