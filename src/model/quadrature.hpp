#pragma once
#include <cstdint>
#include <vector>

namespace vorlent {

// Gauss-Legendre rule on [0, 1]: sum_q weight[q] * p(node[q]) equals the integral of p
// over [0, 1] for every polynomial p of degree below 2 * size, up to rounding.
struct QuadratureRule {
    std::vector<double> node;    // ascending, strictly inside (0, 1)
    std::vector<double> weight;  // positive, summing to 1
};

QuadratureRule gauss_legendre(int32_t size);

}  // namespace vorlent
