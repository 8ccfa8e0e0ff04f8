#include "model/quadrature.hpp"

#include <cmath>
#include <numbers>

namespace vorlent {

namespace {

// The Legendre polynomial P_size at x and its derivative.
void legendre(int32_t size, double x, double& value, double& derivative) {
    double p0 = 1.0;
    double p1 = x;
    for (int32_t k = 2; k <= size; ++k) {
        const double p2 = ((2.0 * k - 1.0) * x * p1 - (k - 1.0) * p0) / k;
        p0 = p1;
        p1 = p2;
    }
    value = p1;
    derivative = size * (x * p1 - p0) / (x * x - 1.0);
}

}  // namespace

QuadratureRule gauss_legendre(int32_t size) {
    QuadratureRule rule;
    rule.node.assign(static_cast<size_t>(size), 0.0);
    rule.weight.assign(static_cast<size_t>(size), 0.0);
    // The roots are symmetric about 0: Newton's method from the usual cosine guesses finds
    // the positive half, the other half mirrors it.
    for (int32_t i = 0; i < (size + 1) / 2; ++i) {
        double x = std::cos(std::numbers::pi * (i + 0.75) / (size + 0.5));
        double value = 0.0;
        double derivative = 1.0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            legendre(size, x, value, derivative);
            const double step = value / derivative;
            x -= step;
            if (std::fabs(step) < 1e-16) break;
        }
        legendre(size, x, value, derivative);
        const double w = 2.0 / ((1.0 - x * x) * derivative * derivative);
        // On [0, 1]: t = (1 + x) / 2 with half the weight; the root x pairs with -x.
        rule.node[static_cast<size_t>(size - 1 - i)] = 0.5 * (1.0 + x);
        rule.weight[static_cast<size_t>(size - 1 - i)] = 0.5 * w;
        rule.node[static_cast<size_t>(i)] = 0.5 * (1.0 - x);
        rule.weight[static_cast<size_t>(i)] = 0.5 * w;
    }
    return rule;
}

}  // namespace vorlent
