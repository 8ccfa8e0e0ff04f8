#include "exact/screen_sums.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"
#include "exact/pair_moments.hpp"

namespace vorlent {
namespace {

constexpr int64_t kHalfStep = int64_t{1} << (kValueBits - 1);

// How a node's pairs are screened: the columns its pairs read, each put on its grid once per
// row, and per pair the places of its columns and its accumulators.
struct ScreenPlan {
    std::vector<int32_t> columns;
    std::vector<int32_t> exponent;  // per column: its grid
    std::vector<int32_t> at_a, at_b, top;
    int64_t first_pair = 0;  // the node's first pair in the request
};

std::vector<ScreenPlan> screen_plans(const StatsRequest& request, const BinnedMatrix& bins,
                                     int32_t n_cols) {
    std::vector<ScreenPlan> plans(request.nodes.size());
    std::vector<int32_t> place(static_cast<size_t>(n_cols), -1);
    for (size_t t = 0; t < plans.size(); ++t) {
        ScreenPlan& plan = plans[t];
        plan.first_pair = request.item_begin[t];
        auto place_of = [&](int32_t f) {
            if (place[f] < 0) {
                place[f] = static_cast<int32_t>(plan.columns.size());
                plan.columns.push_back(f);
                plan.exponent.push_back(column_value_exponent(bins, f));
            }
            return place[f];
        };
        for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
            const ColumnPair& p = request.pairs[j];
            plan.at_a.push_back(place_of(p.a));
            plan.at_b.push_back(place_of(p.b));
            plan.top.push_back(p.top);
        }
        for (const int32_t f : plan.columns) place[f] = -1;
    }
    return plans;
}

// A value on its column's grid by the moments' rule, or 0 when it is not on it (NaN,
// infinities): a pair's z is then 0 and its row adds nothing, as if it were skipped.
int64_t grid_value(double x, int32_t exponent) {
    if (!std::isfinite(x)) return 0;
    const double scaled = std::nearbyint(std::ldexp(x, kValueBits - exponent));
    return std::fabs(scaled) <= 0x1p31 ? static_cast<int64_t>(scaled) : 0;
}

void screen_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                 int32_t k, const std::vector<ScreenPlan>& plans, int64_t i0, int64_t i1,
                 int64_t* words) {
    // Sums in 128-bit accumulators while the block's rows pass, added to the words once.
    std::vector<ExactInt> acc(static_cast<size_t>(kScreenSumCount) * request.pairs.size(), 0);
    std::vector<int64_t> x;
    for_requested_rows(
        st, request, k, true, i0, i1, [&](int64_t i, int32_t t, int64_t g, int64_t h) {
            const ScreenPlan& plan = plans[t];
            const double* row = shard.X->row(st.bag[i]);
            const size_t n = plan.columns.size();
            x.resize(n);
            for (size_t c = 0; c < n; ++c)
                x[c] = grid_value(row[plan.columns[c]], plan.exponent[c]);
            const ExactInt wh = h, wr = -g;
            ExactInt* a = acc.data() + kScreenSumCount * plan.first_pair;
            for (size_t m = 0; m < plan.at_a.size(); ++m, a += kScreenSumCount) {
                // A categorical pair counts the codes 0 .. top alone, as its moments do.
                if (plan.top[m] >= 0) {
                    const int32_t q = category_code(row[plan.columns[plan.at_a[m]]]);
                    if (q < 0 || q > plan.top[m]) continue;
                }
                // |x_a x_b| <= 2^62, so adding half a step cannot overflow.
                const int64_t z = (x[plan.at_a[m]] * x[plan.at_b[m]] + kHalfStep) >> kValueBits;
                a[0] += wh * z;
                a[1] += wh * (z * z);
                a[2] += wr * z;
            }
        });
    for (size_t j = 0; j < acc.size(); ++j) {
        int64_t* w = words + 2 * static_cast<int64_t>(j);
        const ExactInt sum = read_wide(w) + acc[j];
        w[0] = static_cast<int64_t>(static_cast<uint64_t>(sum));
        w[1] = static_cast<int64_t>(static_cast<uint64_t>(static_cast<ExactUInt>(sum) >> 64));
    }
}

}  // namespace

void screened_pair_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                         const HistogramShape& shape, int32_t n_outputs,
                         std::vector<int64_t>& out) {
    // The moments as a request of their own would give them (which checks the pairs).
    StatsRequest moments = request;
    moments.kind = kPairMoments;
    std::vector<int64_t> part;
    reset_stats(moments, shape, n_outputs, part);
    pair_moment_stats(shard, st, moments, n_outputs, part);
    std::copy(part.begin() + kStatsHeader, part.end(), out.begin() + kStatsHeader);
    if (request.nodes.empty()) return;
    const std::vector<ScreenPlan> plans = screen_plans(request, *shard.bins, shard.X->n_cols);
    std::vector<int64_t> screen(static_cast<size_t>(kStatsHeader + screen_words(request)), 0);
    mark_targets(request, st);
    row_pass(st, request.kind, screen, [&](int64_t i0, int64_t i1, int64_t* w) {
        screen_rows(shard, st, request, n_outputs, plans, i0, i1, w);
    });
    std::copy(screen.begin() + kStatsHeader, screen.end(),
              out.begin() + static_cast<int64_t>(part.size()));
}

ScreenMoments screen_moments_of(const int64_t* item, const ColumnPair& pair,
                                const BinnedMatrix& bins, const RoundGrids& grids) {
    const int32_t eh = grids.hess.exponent - kGridFractionBits;
    const int32_t eg = grids.grad.exponent - kGridFractionBits;
    const int32_t ez =
        column_value_exponent(bins, pair.a) + column_value_exponent(bins, pair.b) - kValueBits;
    auto value = [&](int64_t v, int32_t shift) {
        return std::ldexp(static_cast<double>(read_wide(item + 2 * v)), shift);
    };
    return ScreenMoments{value(0, eh + ez), value(1, eh + 2 * ez), value(2, eg + ez)};
}

}  // namespace vorlent
