#include <optional>
#include <string>

#include "model/predict.hpp"
#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

MatrixView model_input(const Booster& b, const F64Array& X) {
    const MatrixView view = as_matrix(X, "X");
    if (view.n_cols < b.model.required_width) {
        fail("X has " + std::to_string(view.n_cols) + " columns, but the model reads column " +
             std::to_string(b.model.required_width - 1));
    }
    return view;
}

int32_t tree_count(const Booster& b, const std::optional<int64_t>& n_trees) {
    if (!n_trees) return kAllTrees;
    if (*n_trees < 0 || *n_trees > b.n_trees()) {
        fail("n_trees must be None (every tree) or a count from 0 to " +
             std::to_string(b.n_trees()) + " (the trees of this model), got " +
             std::to_string(*n_trees));
    }
    return static_cast<int32_t>(*n_trees);
}

namespace {

// (rows, n_outputs) for the multiclass objective, else (rows,) or (rows, single_columns).
py::array_t<double> score_array(const Booster& b, int32_t n_rows, int32_t single_columns) {
    if (b.model.objective == kMulticlass) return py::array_t<double>({n_rows, b.model.n_outputs});
    if (single_columns == 1) return py::array_t<double>(n_rows);
    return py::array_t<double>({n_rows, single_columns});
}

// Scores of X from predict(model, view, out, count, stop) into a new array, computed
// without the interpreter lock and stopped by Ctrl-C.
template <class Predict>
py::array_t<double> predicted(const Booster& b, const F64Array& X,
                              const std::optional<int64_t>& n_trees, int32_t single_columns,
                              Predict predict) {
    const int32_t count = tree_count(b, n_trees);
    const MatrixView view = model_input(b, X);
    py::array_t<double> out = score_array(b, view.n_rows, single_columns);
    double* values = out.mutable_data();
    interruptible([&](const StopCheck& stop) { predict(b.model, view, values, count, stop); });
    return out;
}

}  // namespace

void def_prediction(BoosterClass& cls) {
    cls.def("n_trees", &Booster::n_trees, docs::kNTrees)
        .def(
            "best_iteration", [](const Booster& b) { return b.best_iteration; },
            docs::kBestIteration)
        .def(
            "predict_raw",
            [](const Booster& b, const F64Array& X, const std::optional<int64_t>& n_trees) {
                return predicted(
                    b, X, n_trees, 1,
                    [](const Model& m, const MatrixView& v, double* out, int32_t count,
                       const StopCheck& stop) { predict_raw(m, v, out, count, stop); });
            },
            py::arg("X"), py::pos_only(), py::arg("n_trees") = py::none(), docs::kPredictRaw)
        .def(
            "predict_proba",
            [](const Booster& b, const F64Array& X, const std::optional<int64_t>& n_trees) {
                return predicted(
                    b, X, n_trees, 2,
                    [](const Model& m, const MatrixView& v, double* out, int32_t count,
                       const StopCheck& stop) { predict_proba(m, v, out, count, stop); });
            },
            py::arg("X"), py::pos_only(), py::arg("n_trees") = py::none(), docs::kPredictProba);
}

}  // namespace vorlent::binding
