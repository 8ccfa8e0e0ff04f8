#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

void def_persistence(BoosterClass& /*cls*/) {}

}  // namespace vorlent::binding
