#include "common/parallel.hpp"

namespace vorlent {

void (*g_parallel_fault_hook)() = nullptr;

}  // namespace vorlent
