#pragma once
#include <cstdint>

#include "boosting/params.hpp"

namespace vorlent {

// The shape of one training call, as far as its memory goes.
struct FitShape {
    int64_t rows = 0;
    int64_t columns = 0;
    int64_t outputs = 1;          // scores per row: classes for multiclass, else the model's count
    int64_t val_rows = 0;         // validation rows that fit copies (0 for fit_more)
    int64_t rounds = 0;           // trees the call may add
    bool early_stopping = false;  // the validation rows are scored every round
};

// Throws std::invalid_argument, before anything changes, when the arrays a training call
// holds at its peak (scores, gradients, bin codes, the accumulators, the builders' working
// memory and the trees it may add) would need more than half of the available memory.
void check_training_memory(const BoosterParams& p, const FitShape& shape);

// Upper bound of the leaves of one tree of the booster trained on `rows` rows.
double max_leaves_per_tree(const BoosterParams& p, int64_t rows);

}  // namespace vorlent
