#include "exact/pair_moments.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/numeric.hpp"

namespace vorlent {
namespace {

constexpr int64_t kWideWords = 2;
constexpr double kValueLimit = 0x1p31;

void add_wide(int64_t* w, ExactInt v) {
    const ExactInt sum = read_wide(w) + v;
    w[0] = static_cast<int64_t>(static_cast<uint64_t>(sum));
    w[1] = static_cast<int64_t>(static_cast<uint64_t>(static_cast<ExactUInt>(sum) >> 64));
}

// A value on its column's grid; false for NaN, infinities and values beyond the grid.
bool on_grid(double x, int32_t exponent, int64_t& q) {
    if (!std::isfinite(x)) return false;
    const double scaled = std::nearbyint(std::ldexp(x, kValueBits - exponent));
    if (!(std::fabs(scaled) <= kValueLimit)) return false;
    q = static_cast<int64_t>(scaled);
    return true;
}

// Where each item's words begin, and every column's grid exponent.
struct PairLayout {
    std::vector<int64_t> offset;
    std::vector<int32_t> exponent_a, exponent_b;
};

PairLayout layout(const StatsRequest& request, const BinnedMatrix& bins, int32_t n_cols) {
    PairLayout l;
    int64_t at = 0;
    for (const ColumnPair& p : request.pairs) {
        if (p.a < 0 || p.a >= n_cols || p.b < 0 || p.b >= n_cols || p.top >= kMaxPairCategories) {
            throw std::invalid_argument("exact_sums: a column pair outside the table");
        }
        l.offset.push_back(at);
        at += pair_item_words(p);
        l.exponent_a.push_back(column_value_exponent(bins, p.a));
        l.exponent_b.push_back(column_value_exponent(bins, p.b));
    }
    return l;
}

void moment_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                 int32_t k, const PairLayout& l, int64_t i0, int64_t i1, int64_t* words) {
    for_requested_rows(
        st, request, k, true, i0, i1, [&](int64_t i, int32_t t, int64_t g, int64_t h) {
            const int64_t r = -g;
            const double* row = shard.X->row(st.bag[i]);
            for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
                const ColumnPair& p = request.pairs[j];
                int64_t* w = words + l.offset[j];
                int64_t xb;
                if (!on_grid(row[p.b], l.exponent_b[j], xb)) continue;
                const ExactInt wh = h, wr = r;
                if (p.top >= 0) {
                    const double a = row[p.a];
                    if (a != a) continue;
                    const int32_t q = category_code(a);
                    if (q < 0 || q > p.top) continue;
                    add_wide(w + kWideWords * (3 * q), wh);
                    add_wide(w + kWideWords * (3 * q + 1), wr);
                    add_wide(w + kWideWords * (3 * q + 2), wh * xb);
                    int64_t* tail = w + kWideWords * (3 * (int64_t{p.top} + 1));
                    add_wide(tail, wh);
                    add_wide(tail + kWideWords, wr * xb);
                    add_wide(tail + 2 * kWideWords, wh * (xb * xb));
                    continue;
                }
                int64_t xa;
                if (!on_grid(row[p.a], l.exponent_a[j], xa)) continue;
                add_wide(w, wh);
                add_wide(w + 2, wr);
                add_wide(w + 4, wh * xa);
                add_wide(w + 6, wh * xb);
                add_wide(w + 8, wh * (xa * xa));
                add_wide(w + 10, wh * (xa * xb));
                add_wide(w + 12, wh * (xb * xb));
                add_wide(w + 14, wr * xa);
                add_wide(w + 16, wr * xb);
            }
        });
}

// A merged wide word as a double, times 2^shift.
double wide_value(const int64_t* w, int32_t shift) {
    return std::ldexp(static_cast<double>(read_wide(w)), shift);
}

}  // namespace

int64_t pair_item_words(const ColumnPair& pair) {
    if (pair.top < 0) return kWideWords * kPairSumCount;
    return kWideWords * (3 * (int64_t{pair.top} + 1) + 3);
}

int32_t column_value_exponent(const BinnedMatrix& bins, int32_t f) {
    double top = 0.0;
    for (const std::vector<double>* side : {&bins.bin_low[f], &bins.bin_high[f]}) {
        for (const double v : *side) {
            if (std::isfinite(v)) top = std::max(top, std::fabs(v));
        }
    }
    return ExactSum::grid_exponent(top);
}

void pair_moment_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                       int32_t n_outputs, std::vector<int64_t>& out) {
    if (request.nodes.empty()) return;
    const size_t n = request.nodes.size();
    bool bad = request.item_begin.size() != n + 1 || request.item_begin.front() != 0 ||
               request.item_begin.back() != static_cast<int32_t>(request.pairs.size());
    for (size_t t = 0; t < n && !bad; ++t) bad = request.item_begin[t] > request.item_begin[t + 1];
    if (bad) throw std::invalid_argument("exact_sums: column pairs not laid out per node");
    const PairLayout l = layout(request, *shard.bins, shard.X->n_cols);
    mark_targets(request, st);
    row_pass(st, request.kind, out, [&](int64_t i0, int64_t i1, int64_t* words) {
        moment_rows(shard, st, request, n_outputs, l, i0, i1, words);
    });
}

PairSums pair_sums_of(const int64_t* item, const ColumnPair& pair, const BinnedMatrix& bins,
                      const RoundGrids& grids) {
    const int32_t eh = grids.hess.exponent - kGridFractionBits;
    const int32_t eg = grids.grad.exponent - kGridFractionBits;
    const int32_t ea = column_value_exponent(bins, pair.a) - kValueBits;
    const int32_t eb = column_value_exponent(bins, pair.b) - kValueBits;
    PairSums s;
    s.H = wide_value(item, eh);
    s.T0 = wide_value(item + 2, eg);
    s.S_a = wide_value(item + 4, eh + ea);
    s.S_b = wide_value(item + 6, eh + eb);
    s.S_aa = wide_value(item + 8, eh + 2 * ea);
    s.S_ab = wide_value(item + 10, eh + ea + eb);
    s.S_bb = wide_value(item + 12, eh + 2 * eb);
    s.T_a = wide_value(item + 14, eg + ea);
    s.T_b = wide_value(item + 16, eg + eb);
    return s;
}

CategorySums category_sums_of(const int64_t* item, const ColumnPair& pair, const BinnedMatrix& bins,
                              const RoundGrids& grids) {
    const int32_t eh = grids.hess.exponent - kGridFractionBits;
    const int32_t eg = grids.grad.exponent - kGridFractionBits;
    const int32_t eb = column_value_exponent(bins, pair.b) - kValueBits;
    CategorySums s;
    s.top = pair.top;
    for (int32_t q = 0; q <= pair.top; ++q) {
        s.n_q[q] = wide_value(item + kWideWords * (3 * q), eh);
        s.r_q[q] = wide_value(item + kWideWords * (3 * q + 1), eg);
        s.s_q[q] = wide_value(item + kWideWords * (3 * q + 2), eh + eb);
    }
    const int64_t* tail = item + kWideWords * (3 * (int64_t{pair.top} + 1));
    s.hc = wide_value(tail, eh);
    s.t = wide_value(tail + kWideWords, eg + eb);
    s.sxx = wide_value(tail + 2 * kWideWords, eh + 2 * eb);
    return s;
}

}  // namespace vorlent
