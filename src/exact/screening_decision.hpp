#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "exact/oblique_decision.hpp"

// The coordinator's screening of a node's column pairs, pure functions of merged statistics:
// as the default search does, a capped node near the root (or one whose columns were ranked)
// keeps the best half of its candidates by prescore and the best half by how well the
// product of each pair's standardised columns explains its gradients.

namespace vorlent {

// Whether a node with `pairs` column pairs, of which the capped search keeps `keep`, screens
// them: the capped search at depth 0 or 1, or at any depth when its columns were ranked, and
// more pairs than it keeps.
bool screens_pairs(const TreeParams& tree, int32_t depth, bool ranked, size_t pairs, size_t keep);

// A pair's screening score from its merged kPairMoments item and its screening sums
// (exact/screen_sums.hpp): the score of decide/screening.hpp for z = x_a x_b / (s_a s_b),
// where s_a and s_b are the spreads of the pair's columns over its rows (hessian-weighted, from
// the moments) and lambda the tree's reg_lambda.
double pair_screen_score(const int64_t* moments, const int64_t* screen, const ColumnPair& pair,
                         const ObliqueSettings& settings);

// Keeps the candidates among the max(1, keep / 2) best by prescore and among the as many best
// by screening score (equal scores rank the earlier first, NaN last), in their order; keep 0,
// or no more candidates than keep, keeps all.
void keep_screened_candidates(std::vector<ObliqueCandidate>& candidates, size_t keep);

}  // namespace vorlent
