#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

void def_introspection(BoosterClass& /*cls*/) {}

}  // namespace vorlent::binding
