#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "boosting/booster.hpp"
#include "model/predict.hpp"
#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {
namespace {

// A matrix to route through the model: two-dimensional and wide enough for every
// column the trees read.
MatrixView model_input(const Booster& b, const F64Array& X) {
    const MatrixView view = as_matrix(X, "X");
    if (view.n_cols < b.required_width) {
        fail("X has " + std::to_string(view.n_cols) + " columns, but the model reads column " +
             std::to_string(b.required_width - 1));
    }
    return view;
}

py::array_t<double> score_array(const Booster& b, int32_t n_rows, int32_t columns_if_multi,
                                int32_t columns_otherwise) {
    if (b.objective == kMulticlass) return py::array_t<double>({n_rows, columns_if_multi});
    if (columns_otherwise == 1) return py::array_t<double>(n_rows);
    return py::array_t<double>({n_rows, columns_otherwise});
}

}  // namespace

void register_booster(py::module_& m) {
    py::class_<Booster>(m, "Booster")
        .def(py::init<int32_t, double, int32_t, int32_t, double, int32_t, double, double,
                      uint32_t, int32_t, int32_t, double, int32_t, std::vector<int32_t>,
                      std::vector<int32_t>, int32_t, int32_t>(),
             py::arg("n_estimators") = 60, py::arg("learning_rate") = 0.12,
             py::arg("max_depth") = 4, py::arg("max_bins") = 64, py::arg("reg_lambda") = 1.0,
             py::arg("min_samples") = 10, py::arg("subsample") = 1.0,
             py::arg("colsample") = 1.0, py::arg("seed") = 42u, py::arg("objective") = 0,
             py::arg("loss") = 0, py::arg("alpha") = 0.9, py::arg("clip") = 0,
             py::arg("monotone") = std::vector<int32_t>{},
             py::arg("categorical") = std::vector<int32_t>{}, py::arg("max_lineage") = 0,
             py::arg("split_mode") = 0)
        .def("n_trees", &Booster::n_trees)
        .def("best_iteration", [](const Booster& b) { return b.best_iteration; })
        .def("predict_raw",
             [](const Booster& b, const F64Array& X) {
                 const MatrixView view = model_input(b, X);
                 py::array_t<double> out = score_array(b, view.n_rows, b.n_outputs, 1);
                 predict_raw(b, view, out.mutable_data());
                 return out;
             })
        .def("predict_proba", [](const Booster& b, const F64Array& X) {
            const MatrixView view = model_input(b, X);
            py::array_t<double> out = score_array(b, view.n_rows, b.n_outputs, 2);
            predict_proba(b, view, out.mutable_data());
            return out;
        });
}

}  // namespace vorlent::binding
