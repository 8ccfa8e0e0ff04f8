#pragma once
#include <cstdint>

// The pair of outputs a multiclass node splits on, for every builder: templated on the sum
// type, so that the double sums of the row-by-row builders and the exact integers of the
// fixed-point grid are compared as they are, without a conversion that could merge two.

namespace vorlent {

struct OutputPair {
    int32_t p = 0;  // the output whose gradients sum highest
    int32_t q = 0;  // the output whose gradients sum lowest
};

// p against q, the first index on ties. When every output sums the same (equally frequent
// classes at the start of training, where the sums are exactly equal whenever 1/k is
// exact) p and q would coincide, every reduced gradient would be 0 and no tree could ever
// split: outputs 0 and 1 are set against each other instead. Output j's gradient sum is
// grad_sums[j * stride].
template <class Sum>
OutputPair output_pair(const Sum* grad_sums, int32_t n_outputs, int64_t stride = 1) {
    OutputPair out;
    for (int32_t j = 1; j < n_outputs; ++j) {
        if (grad_sums[j * stride] > grad_sums[out.p * stride]) out.p = j;
        if (grad_sums[j * stride] < grad_sums[out.q * stride]) out.q = j;
    }
    if (out.p == out.q && n_outputs >= 2) out.q = 1;
    return out;
}

}  // namespace vorlent
