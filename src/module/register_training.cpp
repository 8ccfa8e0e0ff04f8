#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

void def_training(BoosterClass& /*cls*/) {}

}  // namespace vorlent::binding
