#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlent {

// What the direction solvers read of the tree parameters.
struct PairConfig {
    double lambda = 1.0;
    const std::vector<int32_t>* categorical = nullptr;  // an index beyond the list counts as 0
    const std::vector<int32_t>* monotone = nullptr;     // empty: no constraints
    const std::vector<double>* feature_scale = nullptr;  // an index beyond counts as 1.0

    bool is_categorical(int32_t f) const {
        return f >= 0 && static_cast<size_t>(f) < categorical->size() && (*categorical)[f] != 0;
    }
    double scale(int32_t f) const {
        return f >= 0 && static_cast<size_t>(f) < feature_scale->size() ? (*feature_scale)[f] : 1.0;
    }
    int32_t monotone_of(int32_t f) const {
        return f >= 0 && static_cast<size_t>(f) < monotone->size() ? (*monotone)[f] : 0;
    }
};

}  // namespace vorlent
