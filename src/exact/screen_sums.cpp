#include "exact/screen_sums.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"
#include "exact/pair_moments.hpp"

namespace vorlent {
namespace {

constexpr int64_t kHalfStep = int64_t{1} << (kValueBits - 1);

// A pair as the screening reads it: the places of its columns in the node's column list, and
// the top code of a categorical pair (-1 for a numeric one).
struct ScreenPair {
    int32_t a = 0;
    int32_t b = 0;
    int32_t top = -1;
};

// How a node's pairs are screened: the columns its pairs read, each put on its grid once per
// row (and, when a categorical pair reads it, its code), and its pairs.
struct ScreenPlan {
    std::vector<int32_t> columns;
    std::vector<int32_t> exponent;  // per column: its grid
    std::vector<char> coded;        // per column: whether a categorical pair reads its code
    std::vector<ScreenPair> pairs;
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
                plan.coded.push_back(0);
            }
            return place[f];
        };
        for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
            const ColumnPair& p = request.pairs[j];
            plan.pairs.push_back(ScreenPair{place_of(p.a), place_of(p.b), p.top});
            if (p.top >= 0) plan.coded[plan.pairs.back().a] = 1;
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

// Rows gathered per node before their pairs are summed: each pair then runs over a chunk of
// its node's rows with its sums in registers, rather than loading and storing them per row.
constexpr int32_t kChunkRows = 64;

// One node's gathered rows, column by column: grid values, codes where a categorical pair
// reads them, and the rows' h and r.
struct NodeChunk {
    std::vector<int64_t> x;     // column c's values at [c * kChunkRows, (c + 1) * kChunkRows)
    std::vector<int32_t> code;  // likewise
    int64_t h[kChunkRows] = {};
    int64_t r[kChunkRows] = {};
    int32_t n = 0;
};

// Adds a chunk's rows to the sums of one pair; a categorical pair counts the codes 0 .. top
// alone, as its moments do (NaN and codes beyond 32 bits are negative: above top as unsigned).
template <bool kCategory>
void add_pair_rows(const NodeChunk& c, const ScreenPair& p, ExactInt* sums) {
    const int64_t* xa = c.x.data() + int64_t{p.a} * kChunkRows;
    const int64_t* xb = c.x.data() + int64_t{p.b} * kChunkRows;
    const int32_t* code = kCategory ? c.code.data() + int64_t{p.a} * kChunkRows : nullptr;
    ExactInt z1 = 0, z2 = 0, rz = 0;
    for (int32_t k = 0; k < c.n; ++k) {
        if constexpr (kCategory) {
            if (static_cast<uint32_t>(code[k]) > static_cast<uint32_t>(p.top)) continue;
        }
        // |x_a x_b| <= 2^62, so adding half a step cannot overflow; each product below is of
        // two 64-bit integers.
        const int64_t z = (xa[k] * xb[k] + kHalfStep) >> kValueBits;
        z1 += static_cast<ExactInt>(c.h[k]) * z;
        z2 += static_cast<ExactInt>(c.h[k]) * (z * z);
        rz += static_cast<ExactInt>(c.r[k]) * z;
    }
    sums[0] += z1;
    sums[1] += z2;
    sums[2] += rz;
}

void add_chunk(const ScreenPlan& plan, NodeChunk& c, ExactInt* acc) {
    ExactInt* sums = acc + kScreenSumCount * plan.first_pair;
    for (const ScreenPair& p : plan.pairs) {
        if (p.top < 0) {
            add_pair_rows<false>(c, p, sums);
        } else {
            add_pair_rows<true>(c, p, sums);
        }
        sums += kScreenSumCount;
    }
    c.n = 0;
}

void screen_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                 int32_t k, const std::vector<ScreenPlan>& plans, int64_t i0, int64_t i1,
                 int64_t* words) {
    // Sums in 128-bit accumulators while the block's rows pass, added to the words once.
    std::vector<ExactInt> acc(static_cast<size_t>(kScreenSumCount) * request.pairs.size(), 0);
    std::vector<NodeChunk> chunks(plans.size());
    for_requested_rows(st, request, k, true, i0, i1,
                       [&](int64_t i, int32_t t, int64_t g, int64_t h) {
                           const ScreenPlan& plan = plans[t];
                           NodeChunk& c = chunks[t];
                           const size_t n = plan.columns.size();
                           if (c.x.empty()) {
                               c.x.resize(n * kChunkRows);
                               c.code.resize(n * kChunkRows);
                           }
                           const double* row = shard.X.row(st.bag[i]);
                           for (size_t j = 0; j < n; ++j) {
                               const double v = row[plan.columns[j]];
                               c.x[j * kChunkRows + c.n] = grid_value(v, plan.exponent[j]);
                               if (plan.coded[j] != 0)
                                   c.code[j * kChunkRows + c.n] = category_code(v);
                           }
                           c.h[c.n] = h;
                           c.r[c.n] = -g;
                           if (++c.n == kChunkRows) add_chunk(plan, c, acc.data());
                       });
    for (size_t t = 0; t < plans.size(); ++t) {
        if (chunks[t].n > 0) add_chunk(plans[t], chunks[t], acc.data());
    }
    for (size_t j = 0; j < acc.size(); ++j) {
        int64_t* w = words + 2 * static_cast<int64_t>(j);
        const ExactInt sum = read_wide(w) + acc[j];
        w[0] = static_cast<int64_t>(static_cast<uint64_t>(sum));
        w[1] = static_cast<int64_t>(static_cast<uint64_t>(static_cast<ExactUInt>(sum) >> 64));
    }
}

}  // namespace

void screened_pair_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                         int32_t n_outputs, std::vector<int64_t>& out) {
    // The moments as a request of their own would give them (which checks the pairs); the
    // pass reads none of the header's words.
    StatsRequest moments = request;
    moments.kind = kPairMoments;
    std::vector<int64_t> part(static_cast<size_t>(kStatsHeader + pair_items_words(request.pairs)), 0);
    pair_moment_stats(shard, st, moments, n_outputs, part);
    std::copy(part.begin() + kStatsHeader, part.end(), out.begin() + kStatsHeader);
    if (request.nodes.empty()) return;
    const std::vector<ScreenPlan> plans = screen_plans(request, *shard.bins, shard.X.n_cols);
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
