#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// The screening of a node's column pairs, for every builder: when the capped search screens
// its candidates, how many it keeps, and how a pair's screening sums score it. A screening
// node keeps the best half of its candidates by prescore and the best half by how well the
// product of each pair's standardised columns explains its gradients.

namespace vorlent {

// The candidates the capped search evaluates for a node that pairs `columns` columns.
inline size_t capped_keep(size_t columns) { return 4 * columns; }

// Whether the capped search screens a node's candidates: near the root (depth 0 or 1),
// where a wrong pair costs most, or at any depth when the node's columns were ranked.
inline bool screens_candidates(int32_t depth, bool ranked) { return depth <= 1 || ranked; }

// How many candidates a screening node that keeps `keep` takes by each score.
inline size_t screened_half(size_t keep) { return std::max<size_t>(1, keep / 2); }

// The candidates a screening node keeps: marked[i] is set to 1 for the `half` best of
// prescores[0, count) and the `half` best of screens[0, count), and to 0 for the others.
// Equal scores rank the earlier candidate first and NaN last (decide/ranking.hpp), so the
// choice does not depend on how the candidates were gathered. `order` and `top` are scratch.
void mark_screened(const double* prescores, const double* screens, int32_t count, int32_t half,
                   std::vector<int32_t>& order, std::vector<int32_t>& top,
                   std::vector<char>& marked);

// The screening score of a pair from the sums of h, r, h z, h z^2 and r z over its rows (z
// the product of its two standardised columns, r = -g): the gain of the ridge fit of r on z
// (lambda the ridge term); 0 when the rows carry no hessian or z does not vary.
double screen_score(double hz, double rz, double sz, double szz, double rzz, double lambda);

}  // namespace vorlent
