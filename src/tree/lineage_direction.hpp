#pragma once
// The pure pieces of a lineage split's direction that both lineage builders share: the
// ridge fit of a pair of candidates and how well a column alone explains a node.
#include "common/numeric.hpp"
#include "decide/ridge.hpp"
#include "tree/pair_sums.hpp"

namespace vorlent {

// The hessian-weighted ridge regression of the Newton step on the centred pair: the
// coefficients (ca, cb) of the pair's two candidates. False when the pair is degenerate
// (no weight or a singular system).
inline bool lineage_ridge(const PairSums& s, double lambda, double& ca, double& cb) {
    if (!(s.H >= kTiny)) return false;
    const double vbb = s.S_bb - s.S_b * s.S_b / s.H + lambda;
    const double vaa = s.S_aa - s.S_a * s.S_a / s.H + lambda;
    const double vab = s.S_ab - s.S_b * s.S_a / s.H;
    const double ra = s.T_a - s.T0 * s.S_a / s.H;
    const double rb = s.T_b - s.T0 * s.S_b / s.H;
    return solve_ridge_2x2(vaa, vbb, vab, ra, rb, ca, cb);
}

// How much of the Newton step the ridge fit (ca, cb) of a pair explains: ca Ra' + cb Rb',
// with Ra', Rb' the centred targets of lineage_ridge.
inline double lineage_ridge_fit(const PairSums& s, double ca, double cb) {
    const double ra = s.T_a - s.T0 * s.S_a / s.H;
    const double rb = s.T_b - s.T0 * s.S_b / s.H;
    return ca * ra + cb * rb;
}

// How well a column alone explains a node's Newton step: the hessian-weighted least-squares
// fit of -g/h on the centred column explains (T - T0 S / W)^2 / (S_xx - S^2 / W) of it, with
// W, S, S_xx, T and T0 the sums of h, h x, h x^2, -g x and -g over the rows where the
// column is not missing; 0 without weight or spread.
inline double single_column_score(double W, double S, double S_xx, double T, double T0) {
    if (!(W >= kTiny)) return 0.0;
    const double spread = S_xx - S * S / W;
    const double fit = T - T0 * S / W;
    return spread > kTiny ? fit * fit / spread : 0.0;
}

}  // namespace vorlent
