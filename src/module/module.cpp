#include <pybind11/pybind11.h>

#include "module/docs.hpp"
#include "module/register.hpp"

// The module body registers the data-preparation functions, then the Booster class.
PYBIND11_MODULE(vorlent_core, m, pybind11::multiple_interpreters::not_supported()) {
    m.doc() = vorlent::binding::docs::kModule;
    vorlent::binding::register_prep(m);
    vorlent::binding::register_booster(m);
    vorlent::binding::register_shards(m);
}
