#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

void register_prep(py::module_& /*m*/) {}

}  // namespace vorlent::binding
