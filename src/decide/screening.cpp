#include "decide/screening.hpp"

#include "common/numeric.hpp"

namespace vorlent {

double screen_score(double hz, double rz, double sz, double szz, double rzz, double lambda) {
    if (!(hz >= kTiny)) return 0.0;
    const double mean = sz / hz;
    const double den = szz - mean * hz * mean + lambda;
    if (!(den > kTiny)) return 0.0;
    const double num = rzz - mean * rz;
    return num * num / den;
}

}  // namespace vorlent
