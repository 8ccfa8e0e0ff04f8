#pragma once
#include "common/numeric.hpp"

// Whether a node splits, and on which of its best cuts: the same choice for every builder.

namespace vorlent {

// Whether a cut gains enough to split a node.
inline bool cut_gains(double gain) { return gain > kMinGain; }

// Whether a node splits on its best pair cut rather than on its best axis cut: the pair cut
// must gain, and with best_of_kinds the axis cut must not gain strictly more (a tie goes to
// the pair). axis_gain is read only with best_of_kinds, so a builder that searches the axis
// cut only when the pair cut loses may pass anything without it. A node whose pair cut
// loses splits on its axis cut when that gains (cut_gains), else stays a leaf.
inline bool pair_cut_wins(double pair_gain, double axis_gain, bool best_of_kinds) {
    return cut_gains(pair_gain) && !(best_of_kinds && axis_gain > pair_gain);
}

}  // namespace vorlent
