#pragma once
#include <cstdint>

namespace vorlent {

// A vector argument as it arrives from the caller.
struct VectorArg {
    const double* data = nullptr;
    int64_t size = 0;
};

}  // namespace vorlent
