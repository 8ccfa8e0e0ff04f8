#pragma once
#include <cstddef>
#include <vector>

#include "boosting/booster.hpp"
#include "model/node.hpp"

namespace vorlent {

// Writes each accumulator entry divided by the sum of all `count` entries (added in index
// order) into `out`, which holds `out_count` values: the first min(count, out_count)
// entries are written and the rest are 0.0. Everything is 0.0 when the sum is not
// positive (zero, negative or NaN).
void normalise_gains(const double* gain, size_t count, double* out, size_t out_count);

// Adds the gain of a split that the histogram builder has committed to the importance
// accumulators. Pair splits weight each column by the size of its coefficient and
// credit the ordered cell (feature_a, feature_b) of the interaction matrix only.
void credit_split(Booster& booster, const Node& committed);

// Adds the gain of a committed projection split: every column with a non-zero entry in
// the unit direction earns its share |d[j]| * gain. Projections carry no interaction.
void credit_projection(Booster& booster, const std::vector<double>& direction, double gain);

}  // namespace vorlent
