#pragma once
#include <cstdint>
#include <vector>

#include "common/matrix.hpp"

namespace vorlent {

// The training matrix as small integer bin codes, with the tables that give the codes
// their meaning. Built once per training call and dropped when it returns.
struct BinnedMatrix {
    // The codes, n_rows * n_features, row-major, in one of two widths: one byte each
    // (`narrow`) when no feature has more than 256 bins, else two. Only one is filled.
    std::vector<uint8_t> narrow_codes;
    std::vector<uint16_t> codes;
    bool narrow = false;
    std::vector<std::vector<double>> edges;       // per feature, ascending distinct cut values
    // Per feature and bin, the smallest and largest training value in the bin: an axis cut
    // between two bins is placed between them, so that it parts the rows exactly as the
    // bins do. An empty bin has its cut point (or the nearest value) as both; the missing
    // bin has 0.
    std::vector<std::vector<double>> bin_low;
    std::vector<std::vector<double>> bin_high;
    std::vector<bool> has_missing;                // per feature

    // Calls f with a pointer to the first code, of whichever width is stored.
    template <class F>
    decltype(auto) with_codes(F&& f) const {
        return narrow ? f(narrow_codes.data()) : f(codes.data());
    }
    // The code at a row-major position.
    uint16_t code(int64_t at) const { return narrow ? narrow_codes[at] : codes[at]; }
    // Every code, two bytes wide.
    std::vector<uint16_t> all_codes() const {
        return narrow ? std::vector<uint16_t>(narrow_codes.begin(), narrow_codes.end()) : codes;
    }
};

// The most bins a feature can have with one-byte codes.
inline constexpr int32_t kMaxNarrowBins = 256;

// Categorical features with at most this many distinct values get one bin per value.
inline constexpr int32_t kMaxCategoryBins = 8192;
// Codes are 16 bits wide.
inline constexpr int32_t kMaxBins = 65536;

// Bins every column of X: quantile cut points for ordinary features (at most max_bins
// bins, one of them kept for NaN when the column has any), one bin per distinct value
// for categorical features, NaN in a last bin of its own, and the smallest and largest
// training value of each bin. A nonzero categorical[f] makes feature f categorical;
// entries past the end of the list count as zero. Throws std::invalid_argument for
// max_bins above 65536, which the 16-bit codes cannot hold.
BinnedMatrix build_bins(const MatrixView& X, int32_t max_bins,
                        const std::vector<int32_t>& categorical);

}  // namespace vorlent
