#pragma once
#include <pybind11/pybind11.h>

namespace vorlent::binding {

// make_folds, te_fit_transform, te_transform, in this order.
void register_prep(pybind11::module_& m);
// The Booster class and its methods.
void register_booster(pybind11::module_& m);

}  // namespace vorlent::binding
