#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/node.hpp"
#include "model/pair_gains.hpp"

namespace vorlent {

// The importance accumulators of a model: the split gain credited to each column, by
// column and by coefficient size, and to each ordered pair of columns that a pair split
// reads.
struct Importances {
    std::vector<double> feature_gain;      // n_features
    std::vector<double> coefficient_gain;  // n_features
    PairGains interaction_gain;            // (feature_a, feature_b) of pair splits only
};

// Writes each accumulator entry divided by the sum of all `count` entries (added in index
// order) into `out`, which holds `out_count` values: the first min(count, out_count)
// entries are written and the rest are 0.0. Everything is 0.0 when the sum is not
// positive (zero, negative or NaN).
void normalise_gains(const double* gain, size_t count, double* out, size_t out_count);

// The credited pairs in increasing (feature_a, feature_b) order, their gains normalised
// as normalise_gains does. The sum runs in that order, which is the row-major order of
// the dense matrix, so each share is the one the matrix's cell would hold.
std::vector<PairGain> normalised_pairs(const PairGains& gains);

// Adds the gain of a split that the histogram builder has committed to the importance
// accumulators of a model of n_features columns. Pair splits weight each column by the
// size of its coefficient and credit the ordered pair (feature_a, feature_b) only, when
// that credit is not zero.
void credit_split(Importances& gains, int32_t n_features, const Node& committed);

// Adds the gain of a committed projection split: every column with a non-zero entry in
// the unit direction earns its share |d[j]| * gain. Projections carry no interaction.
void credit_projection(Importances& gains, const std::vector<double>& direction, double gain);

// Credits every split of a finished tree, whose projection nodes point into `directions`,
// in node order: for the builders that decide a whole tree before any credit.
void credit_tree(Importances& gains, int32_t n_features, const Directions& directions,
                 const Tree& tree);

}  // namespace vorlent
