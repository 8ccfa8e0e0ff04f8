#include <Python.h>

#include <algorithm>
#include <string>
#include <vector>

#include "boosting/objective.hpp"
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

// A read-only copy of n_rows rows of scores: shape (n_rows,) for one output per row, else
// (n_rows, n_outputs). A copy, not a view: a callback may keep what it was given, and the
// round loop overwrites its buffers in the next round and frees them at the end.
py::array_t<double> score_snapshot(const double* scores, int32_t n_rows, int64_t n_outputs,
                                   bool one_column) {
    py::array_t<double> out = one_column
                                  ? py::array_t<double>(n_rows)
                                  : py::array_t<double>({static_cast<int64_t>(n_rows), n_outputs});
    std::copy_n(scores, static_cast<int64_t>(n_rows) * n_outputs, out.mutable_data());
    py::detail::array_proxy(out.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
    return out;
}

// The number of scores per row that raw must hold for b's objective: raw is (n_rows,) for a
// single-output objective, (n_rows, k) with k >= 2 classes for the multiclass one (k the
// model's class count once it has trees). Raises ValueError naming raw otherwise.
int64_t outputs_of(const Booster& b, const F64Array& raw, int64_t n_rows) {
    const bool multi = b.params.objective == kMulticlass;
    const py::ssize_t want_dims = multi ? 2 : 1;
    if (raw.ndim() != want_dims) {
        const char* shape = multi ? "two-dimensional (rows x classes)" : "one-dimensional";
        fail(std::string("raw must be ") + shape + " for this objective, got " +
             std::to_string(raw.ndim()) + " dimension(s)");
    }
    if (raw.shape(0) != n_rows) {
        fail("raw has " + std::to_string(raw.shape(0)) + " rows but y has " +
             std::to_string(n_rows) + " entries");
    }
    if (!multi) return 1;
    const int64_t k = raw.shape(1);
    if (k < 2 || (b.n_trees() > 0 && k != b.model.n_outputs)) {
        fail("raw has " + std::to_string(k) + " columns, but " +
             (b.n_trees() > 0 ? "the model scores " + std::to_string(b.model.n_outputs)
                              : std::string("a multiclass objective scores at least 2")) +
             " classes");
    }
    return k;
}

// Raises ValueError naming y unless every target is a class code from 0 to k-1 (the
// multiclass gradients would silently treat any other value as no class at all).
void check_class_codes(const double* y, int64_t n_rows, int64_t k) {
    for (int64_t r = 0; r < n_rows; ++r) {
        const int64_t c = target_class(y[r]);
        if (c < 0 || c >= k || static_cast<double>(c) != y[r]) {
            const std::string value = py::repr(py::float_(y[r]));
            fail("y must hold class codes from 0 to " + std::to_string(k - 1) + ", but row " +
                 std::to_string(r) + " is " + value);
        }
    }
}

// (grad, hess) of b's objective at the raw scores, each shaped as raw.
py::tuple objective_gradients(const Booster& b, const F64Array& y, const F64Array& raw,
                              const OptionalF64Array& weight) {
    const int64_t n_rows = vector_length(y, "y");
    extent32(y, "y");
    const int64_t k = outputs_of(b, raw, n_rows);
    const F64Array w = value_or_empty(weight);
    if (weight && vector_length(w, "weight") != n_rows) {
        fail("weight has " + std::to_string(w.shape(0)) + " entries but y has " +
             std::to_string(n_rows));
    }
    const double* target = y.data();
    if (k > 1) check_class_codes(target, n_rows, k);
    const std::vector<double> weights(w.data(), w.data() + w.size());
    py::array_t<double> grad(raw.request().shape);
    py::array_t<double> hess(raw.request().shape);
    double* g = grad.mutable_data();
    double* h = hess.mutable_data();
    without_gil([&] {
        std::vector<double> abs_residuals;
        compute_gradients(b.params, k, weights, raw.data(), target, static_cast<int32_t>(n_rows),
                          g, h, abs_residuals);
    });
    return py::make_tuple(grad, hess);
}

}  // namespace

// The observer that calls a Python callback(round, train_scores, val_scores) after every
// round, holding the interpreter lock only for that call. A true result stops training; an
// exception from the callback propagates like a Ctrl-C. The callback object stays alive
// because the call's arguments hold it.
RoundObserver round_callback(const Booster& b, const py::object& callback) {
    if (callback.is_none()) return {};
    if (PyCallable_Check(callback.ptr()) == 0) {
        throw py::type_error("callback must be callable or None, got " +
                             std::string(py::str(py::type::of(callback).attr("__name__"))));
    }
    const py::handle function = callback;
    const bool one_column = b.params.objective != kMulticlass;
    return [function, one_column](const RoundScores& s) {
        py::gil_scoped_acquire held;
        const py::object train = s.train == nullptr
                                     ? py::object(py::none())
                                     : score_snapshot(s.train, s.n_rows, s.n_outputs, one_column);
        const py::object val = s.val == nullptr
                                   ? py::object(py::none())
                                   : score_snapshot(s.val, s.n_val, s.n_outputs, one_column);
        const py::object answer = function(s.round, train, val);
        const int stop = PyObject_IsTrue(answer.ptr());
        if (stop < 0) throw py::error_already_set();
        return stop == 1;
    };
}

void def_training(BoosterClass& cls) {
    cls.def(
           "fit",
           [](Booster& b, const F64Array& X, const F64Array& y,
              const OptionalF64Array& sample_weight, const OptionalF64Array& X_val,
              const OptionalF64Array& y_val, int32_t es_patience, double es_tol,
              const py::object& callback) {
               const MatrixView x = as_matrix(X, "X");
               const F64Array w = value_or_empty(sample_weight);
               const F64Array xv = value_or_empty(X_val);
               const F64Array yv = value_or_empty(y_val);
               const VectorArg y_val_arg = vector_arg(yv, "y_val");
               // X_val is read only when there are validation targets.
               const MatrixView x_val = y_val_arg.size > 0 ? as_matrix(xv, "X_val") : MatrixView{};
               const VectorArg y_arg = vector_arg(y, "y");
               const VectorArg w_arg = vector_arg(w, "sample_weight");
               const RoundObserver observer = round_callback(b, callback);
               // Ctrl-C stops training after the complete round.
               interruptible([&](const RoundHook& hook) {
                   fit(b, x, y_arg, w_arg, x_val, y_val_arg, es_patience, es_tol, hook, observer);
               });
           },
           py::arg("X"), py::arg("y"), py::arg("sample_weight") = empty_f64(),
           py::arg("X_val") = empty_f64(), py::arg("y_val") = empty_f64(),
           py::arg("es_patience") = 0, py::arg("es_tol") = 1e-4, py::arg("callback") = py::none(),
           docs::kFit)
        .def(
            "fit_more",
            [](Booster& b, const F64Array& X, const F64Array& y, int32_t extra,
               const OptionalF64Array& sample_weight, const py::object& callback) {
                const MatrixView x = as_matrix(X, "X");
                const F64Array w = value_or_empty(sample_weight);
                const VectorArg y_arg = vector_arg(y, "y");
                const VectorArg w_arg = vector_arg(w, "sample_weight");
                const RoundObserver observer = round_callback(b, callback);
                interruptible([&](const RoundHook& hook) {
                    fit_more(b, x, y_arg, extra, w_arg, hook, observer);
                });
            },
            py::arg("X"), py::arg("y"), py::arg("extra"), py::arg("sample_weight") = empty_f64(),
            py::arg("callback") = py::none(), docs::kFitMore)
        .def(
            "truncate", [](Booster& b, int32_t n_trees) { b.truncate(n_trees); },
            py::arg("n_trees"), docs::kTruncate)
        .def("gradients", &objective_gradients, py::arg("y"), py::arg("raw"),
             py::arg("weight") = py::none(), docs::kGradients);
}

}  // namespace vorlent::binding
