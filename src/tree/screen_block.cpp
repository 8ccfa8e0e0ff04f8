#include "tree/screen_block.hpp"

#include <algorithm>

#include "common/numeric.hpp"

namespace vorlent {

VORLENT_HOT_KERNEL
ScreenBlock fill_screen_block(const FeatureColumn* const* columns, int32_t count, int32_t k0,
                              int32_t rows, int64_t stride, double* out) {
    // Four columns at a time: each row takes one store of four values.
    using v4d = double __attribute__((vector_size(32)));
    int32_t c = 0;
    for (; c + 4 <= count; c += 4) {
        const float* x0 = columns[c]->values + k0;
        const float* x1 = columns[c + 1]->values + k0;
        const float* x2 = columns[c + 2]->values + k0;
        const float* x3 = columns[c + 3]->values + k0;
        for (int32_t k = 0; k < rows; ++k) {
            const v4d v = {x0[k], x1[k], x2[k], x3[k]};
            __builtin_memcpy(out + k * stride + c, &v, sizeof(v));
        }
    }
    for (; c < count; ++c) {
        const float* x = columns[c]->values + k0;
        for (int32_t k = 0; k < rows; ++k) out[k * stride + c] = x[k];
    }
    for (int32_t k = 0; k < rows; ++k) std::fill(out + k * stride + count, out + (k + 1) * stride, 0.0);
    return ScreenBlock{out, stride, k0, rows};
}

}  // namespace vorlent
