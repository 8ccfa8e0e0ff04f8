#pragma once
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "boosting/params.hpp"
#include "common/exact_sum.hpp"
#include "model/model.hpp"

// The exact start score in pieces that shards in other processes compute for their rows
// and a coordinator merges: the target range (count, smallest and largest key), the bound
// of every family of terms whose sum the score reads (merged by maximum), their exact sums
// on those bounds (merged by addition) and the decision from the merged pieces.

namespace vorlent {

struct TargetRange {
    int64_t n = 0;
    uint64_t low = std::numeric_limits<uint64_t>::max();
    uint64_t high = 0;

    void merge(const TargetRange& other);
};
TargetRange target_range(const double* y, int64_t n);

// The families of terms, per row: the target (or weight times target, then the weight) and,
// for multiclass models, the counted weight and the weight of each class.
int32_t start_families(const BoosterParams& params, const TargetRange& range, bool weighted);

// Per family, the largest magnitude of a term of these rows (w is read when weighted).
std::vector<double> start_bounds(const BoosterParams& params, const TargetRange& range,
                                 const double* y, const double* w, bool weighted, int64_t n);

// Per family, the exact sum of these rows' terms on the grid of the merged bound.
std::vector<ExactSum> start_sums(const BoosterParams& params, const TargetRange& range,
                                 const std::vector<double>& bounds, const double* y,
                                 const double* w, bool weighted, int64_t n);

// Sets the model's start score, clip range and output count from the merged pieces;
// select(rank) gives the target at a rank of the ascending order (for the median).
void decide_start(Model& model, const BoosterParams& params, const TargetRange& range,
                  bool weighted, const std::vector<ExactSum>& sums,
                  const std::function<double(uint64_t)>& select);

}  // namespace vorlent
