#include <pybind11/stl.h>

#include <vector>

#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

void register_booster(py::module_& m) {
    BoosterClass cls(m, "Booster");
    cls.def(py::init<int32_t, double, int32_t, int32_t, double, int32_t, double, double, uint32_t,
                     int32_t, int32_t, double, int32_t, std::vector<int32_t>,
                     std::vector<int32_t>, int32_t, int32_t>(),
            py::arg("n_estimators") = 60, py::arg("learning_rate") = 0.12,
            py::arg("max_depth") = 4, py::arg("max_bins") = 64, py::arg("reg_lambda") = 1.0,
            py::arg("min_samples") = 10, py::arg("subsample") = 1.0, py::arg("colsample") = 1.0,
            py::arg("seed") = 42u, py::arg("objective") = 0, py::arg("loss") = 0,
            py::arg("alpha") = 0.9, py::arg("clip") = 0,
            py::arg("monotone") = std::vector<int32_t>{},
            py::arg("categorical") = std::vector<int32_t>{}, py::arg("max_lineage") = 0,
            py::arg("split_mode") = 0);
    def_training(cls);
    def_prediction(cls);
    def_introspection(cls);
    def_persistence(cls);
    def_shapley(cls);
}

}  // namespace vorlent::binding
