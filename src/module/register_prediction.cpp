#include <string>

#include "model/predict.hpp"
#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

MatrixView model_input(const Booster& b, const F64Array& X) {
    const MatrixView view = as_matrix(X, "X");
    if (view.n_cols < b.required_width) {
        fail("X has " + std::to_string(view.n_cols) + " columns, but the model reads column " +
             std::to_string(b.required_width - 1));
    }
    return view;
}

namespace {

// (rows, n_outputs) for the multiclass objective, else (rows,) or (rows, single_columns).
py::array_t<double> score_array(const Booster& b, int32_t n_rows, int32_t single_columns) {
    if (b.objective == kMulticlass) return py::array_t<double>({n_rows, b.n_outputs});
    if (single_columns == 1) return py::array_t<double>(n_rows);
    return py::array_t<double>({n_rows, single_columns});
}

}  // namespace

void def_prediction(BoosterClass& cls) {
    cls.def("n_trees", &Booster::n_trees)
        .def("best_iteration", [](const Booster& b) { return b.best_iteration; })
        .def("predict_raw",
             [](const Booster& b, const F64Array& X) {
                 const MatrixView view = model_input(b, X);
                 py::array_t<double> out = score_array(b, view.n_rows, 1);
                 predict_raw(b, view, out.mutable_data());
                 return out;
             })
        .def("predict_proba", [](const Booster& b, const F64Array& X) {
            const MatrixView view = model_input(b, X);
            py::array_t<double> out = score_array(b, view.n_rows, 2);
            predict_proba(b, view, out.mutable_data());
            return out;
        });
}

}  // namespace vorlent::binding
