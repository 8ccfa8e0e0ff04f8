#pragma once
#include <cmath>

#include "common/numeric.hpp"

// The 2x2 ridge solve that every pair direction rests on: the pair solver of the histogram
// builders (on standardised columns) and the lineage builders' fit of two candidates.

namespace vorlent {

// Solves [aa ab; ab bb] (xa, xb) = (ra, rb) by Cramer's rule, the ridge term already on the
// diagonal. False when the system is singular (|determinant| below kTiny, or NaN).
inline bool solve_ridge_2x2(double aa, double bb, double ab, double ra, double rb, double& xa,
                            double& xb) {
    const double det = aa * bb - ab * ab;
    if (!(std::fabs(det) >= kTiny)) return false;
    xa = (ra * bb - rb * ab) / det;
    xb = (rb * aa - ra * ab) / det;
    return true;
}

}  // namespace vorlent
