#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace vorlent {

// What target encoding learns from training rows.
struct TargetEncoding {
    std::vector<double> encodings;  // per row, learned from the other folds' rows only
    std::vector<double> full_map;   // per code 0 .. K-1, learned from every row
    double gmean = 0.0;             // mean target of the rows with a valid code; 0 if none
};

// Out-of-fold target encoding of the category codes in 0 .. K-1: each code's mean target
// shrunk toward the overall mean by an empirical-Bayes weight, the code's rows outside a
// row's own fold deciding that row's value. Codes outside 0 .. K-1 take no part in the
// statistics and receive the overall mean of the other folds. Checks everything before
// any output is made and throws std::invalid_argument naming the argument: K < 0, nf < 1,
// y or folds shorter than codes, a fold outside 0 .. nf-1, statistics that cannot fit in
// the machine's memory.
TargetEncoding te_fit_transform(std::span<const int64_t> codes, std::span<const double> y,
                                std::span<const int32_t> folds, int32_t K, int32_t nf);

// The same with folds given as numbers of any kind, as they come from the caller: an entry
// that is not a whole number in 0 .. nf-1 is refused (no truncation, no wrapping).
TargetEncoding te_fit_transform(std::span<const int64_t> codes, std::span<const double> y,
                                std::span<const double> folds, int32_t K, int32_t nf);

// full_map[c] for each code c inside the map, gmean for every other code.
std::vector<double> te_transform(std::span<const int64_t> codes, std::span<const double> full_map,
                                 double gmean);

}  // namespace vorlent
