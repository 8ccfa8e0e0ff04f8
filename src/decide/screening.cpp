#include "decide/screening.hpp"

#include "common/numeric.hpp"
#include "decide/ranking.hpp"

namespace vorlent {

double screen_score(double hz, double rz, double sz, double szz, double rzz, double lambda) {
    if (!(hz >= kTiny)) return 0.0;
    const double mean = sz / hz;
    const double den = szz - mean * hz * mean + lambda;
    if (!(den > kTiny)) return 0.0;
    const double num = rzz - mean * rz;
    return num * num / den;
}

void mark_screened(const double* prescores, const double* screens, int32_t count, int32_t half,
                   std::vector<int32_t>& order, std::vector<int32_t>& top,
                   std::vector<char>& marked) {
    marked.assign(static_cast<size_t>(count), 0);
    for (const double* scores : {prescores, screens}) {
        top_positions(scores, count, half, order, top);
        for (const int32_t at : top) marked[at] = 1;
    }
}

}  // namespace vorlent
