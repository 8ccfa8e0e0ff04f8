#include <pybind11/pybind11.h>

#include "module/register.hpp"

// The module body registers the data-preparation functions, then the Booster class.
PYBIND11_MODULE(vorlent_core, m, pybind11::multiple_interpreters::not_supported()) {
    vorlent::binding::register_prep(m);
    vorlent::binding::register_booster(m);
}
