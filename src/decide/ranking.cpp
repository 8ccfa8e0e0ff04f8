#include "decide/ranking.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vorlent {

namespace {

// The positions of the `keep` highest scores in ascending position order, equal scores
// ranking the lower rank_of(position) first and NaN below every number.
template <class RankOf>
void top_by(const double* scores, int32_t count, int32_t keep, RankOf rank_of,
            std::vector<int32_t>& order, std::vector<int32_t>& out) {
    const int32_t kept = std::clamp(keep, 0, count);
    order.resize(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    std::partial_sort(order.begin(), order.begin() + kept, order.end(), [&](int32_t x, int32_t y) {
        const double sx = std::isnan(scores[x]) ? -INFINITY : scores[x];
        const double sy = std::isnan(scores[y]) ? -INFINITY : scores[y];
        return sx != sy ? sx > sy : rank_of(x) < rank_of(y);
    });
    out.assign(order.begin(), order.begin() + kept);
    std::sort(out.begin(), out.end());
}

}  // namespace

void top_positions(const double* scores, int32_t count, int32_t keep, std::vector<int32_t>& order,
                   std::vector<int32_t>& out) {
    top_by(scores, count, keep, [](int32_t x) { return x; }, order, out);
}

void top_ranked(const double* scores, const int64_t* ranks, int32_t count, int32_t keep,
                std::vector<int32_t>& order, std::vector<int32_t>& out) {
    top_by(scores, count, keep, [ranks](int32_t x) { return ranks[x]; }, order, out);
}

}  // namespace vorlent
