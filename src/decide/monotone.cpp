#include "decide/monotone.hpp"

#include <cmath>

#include "common/numeric.hpp"
#include "decide/newton.hpp"

namespace vorlent {

int32_t split_constraint(const Node& test, const std::vector<int32_t>& monotone) {
    if (monotone.empty()) return 0;
    auto at = [&](int32_t f) {
        return f >= 0 && static_cast<size_t>(f) < monotone.size() ? monotone[f] : 0;
    };
    if (test.kind == kAxis) {
        const int32_t m = at(test.feature_a);
        return m == 0 ? 0 : (m > 0 ? 1 : -1);
    }
    int32_t m = at(test.feature_a);
    double c = test.coef_a;
    if (test.kind == kCategoryPair || m == 0 || !(std::fabs(c) > kTiny)) {
        m = at(test.feature_b);
        c = test.coef_b;
        if (m == 0 || !(std::fabs(c) > kTiny)) return 0;
    }
    return (c > 0) == (m > 0) ? 1 : -1;
}

int32_t monotone_sign(const std::vector<int32_t>& monotone, const std::vector<double>& d) {
    int32_t sign = 0;
    for (size_t j = 0; j < monotone.size() && j < d.size(); ++j) {
        if (monotone[j] == 0 || d[j] == 0.0) continue;
        const int32_t s = (d[j] > 0.0) == (monotone[j] > 0) ? 1 : -1;
        if (sign != 0 && s != sign) return kMixedSigns;
        sign = s;
    }
    return sign;
}

ChildBounds child_bounds(int32_t direction, ValueBounds parent, SideSums left, SideSums right,
                         double lambda) {
    ChildBounds out{parent, parent};
    if (direction == 0) return out;
    const double mid = clamp_value(
        (newton_value(left.g, left.h, lambda) + newton_value(right.g, right.h, lambda)) * 0.5,
        parent.lower, parent.upper);
    if (direction > 0) {
        out.left.upper = mid;
        out.right.lower = mid;
    } else {
        out.left.lower = mid;
        out.right.upper = mid;
    }
    return out;
}

}  // namespace vorlent
