#include "exact/pair_moments.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/numeric.hpp"

namespace vorlent {
namespace {

constexpr int64_t kWideWords = 2;
constexpr double kValueLimit = 0x1p31;

void set_wide(int64_t* w, ExactInt v) {
    w[0] = static_cast<int64_t>(static_cast<uint64_t>(v));
    w[1] = static_cast<int64_t>(static_cast<uint64_t>(static_cast<ExactUInt>(v) >> 64));
}

void add_wide(int64_t* w, ExactInt v) { set_wide(w, read_wide(w) + v); }

// A column's value grid: x becomes round(x * 2^shift). Multiplying by the power of two
// rounds exactly as ldexp does (once, to nearest), so where 2^shift is a normal double the
// product stands in for the library call.
struct ValueGrid {
    int32_t shift = 0;
    double scale = 1.0;
    bool direct = true;

    static ValueGrid of(int32_t exponent) {
        ValueGrid g;
        g.shift = kValueBits - exponent;
        g.direct = g.shift >= -1022 && g.shift <= 1023;
        g.scale = g.direct ? std::ldexp(1.0, g.shift) : 1.0;
        return g;
    }
};

// A value on its column's grid; false for NaN, infinities and values beyond the grid. A
// scaled value s rounds to at most 2^31 in magnitude exactly when |s| <= 2^31 + 1/2 (the
// tie goes to the even 2^31); below 2^51, adding and taking away 1.5 * 2^52 rounds it to
// an integer in the current rounding mode, as nearbyint does.
inline bool on_grid(double x, const ValueGrid& g, int64_t& q) {
    constexpr double kRounder = 0x1.8p52;
    const double scaled = g.direct ? x * g.scale : std::ldexp(x, g.shift);
    if (!(std::fabs(scaled) <= kValueLimit + 0.5)) return false;
    q = static_cast<int64_t>((scaled + kRounder) - kRounder);
    return true;
}

// Whether every training value of a column is a finite number (no missing bin, finite bin
// extremes), so that every row of every node has it on the grid.
bool complete_column(const BinnedMatrix& bins, int32_t f) {
    if (bins.has_missing[f]) return false;
    for (const std::vector<double>* side : {&bins.bin_low[f], &bins.bin_high[f]}) {
        for (const double v : *side) {
            if (!std::isfinite(v)) return false;
        }
    }
    return true;
}

// How a node's pairs are summed. Every column a pair reads as a number is put on its grid
// once per row; a value that is not on it (missing, infinite) counts as 0 in the column sums
// below. Numeric pairs share the node's sums of h and r and each column's sums of h x,
// h x^2 and r x, summed once per row in words after the items ("side" words); each pair
// has its sum of h x_a x_b there too (a row without both values adds 0 to it) and sums, in
// its own words, the terms of the rows that lack one of its values, which the side sums
// hold but the pair's sums must not. After the pass each pair's words become the side sums
// minus those terms.
// Integer sums are the same however they are grouped, so the items are exactly those of
// summing every pair on its own over the rows that have both of its values.
struct NodePlan {
    std::vector<int32_t> columns;     // the columns read as numbers; the side ones first
    std::vector<ValueGrid> grid;      // their grids
    int32_t side_columns = 0;         // how many lead `columns` with side sums
    int64_t side = 0;                 // its side words: H, R, then per column S, SS, T (wide)
    std::vector<int32_t> shared;      // items of numeric pairs
    std::vector<int32_t> own;         // items of categorical pairs, summed on their own
    std::vector<int32_t> at_a, at_b;  // per shared, then own item: its columns' places (a
                                      // categorical column has none: -1)
    std::vector<int32_t> gaps;        // shared pairs (by place) that can lack a value
    std::vector<int32_t> categories;  // the columns read as category codes
    std::vector<int32_t> at_code;     // per own item: its categorical column's place there
};

struct PairLayout {
    std::vector<int64_t> offset;  // per item, its first word
    std::vector<NodePlan> nodes;
    int64_t item_words = 0;
    int64_t side_words = 0;
};

int32_t place_of(std::vector<int32_t>& columns, int32_t f) {
    const auto it = std::find(columns.begin(), columns.end(), f);
    if (it != columns.end()) return static_cast<int32_t>(it - columns.begin());
    columns.push_back(f);
    return static_cast<int32_t>(columns.size()) - 1;
}

NodePlan node_plan(const StatsRequest& request, const BinnedMatrix& bins, size_t t) {
    NodePlan plan;
    for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
        const ColumnPair& p = request.pairs[j];
        if (p.top >= 0) continue;
        if (!complete_column(bins, p.a) || !complete_column(bins, p.b)) {
            plan.gaps.push_back(static_cast<int32_t>(plan.shared.size()));
        }
        plan.shared.push_back(j);
        plan.at_a.push_back(place_of(plan.columns, p.a));
        plan.at_b.push_back(place_of(plan.columns, p.b));
    }
    plan.side_columns = static_cast<int32_t>(plan.columns.size());
    for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
        const ColumnPair& p = request.pairs[j];
        if (p.top < 0) continue;
        plan.own.push_back(j);
        plan.at_a.push_back(-1);
        plan.at_b.push_back(place_of(plan.columns, p.b));
        plan.at_code.push_back(place_of(plan.categories, p.a));
    }
    for (const int32_t f : plan.columns) {
        plan.grid.push_back(ValueGrid::of(column_value_exponent(bins, f)));
    }
    return plan;
}

PairLayout layout(const StatsRequest& request, const BinnedMatrix& bins, int32_t n_cols) {
    PairLayout l;
    for (const ColumnPair& p : request.pairs) {
        if (p.a < 0 || p.a >= n_cols || p.b < 0 || p.b >= n_cols || p.top >= kMaxPairCategories) {
            throw std::invalid_argument("exact_sums: a column pair outside the table");
        }
        l.offset.push_back(l.item_words);
        l.item_words += pair_item_words(p);
    }
    for (size_t t = 0; t < request.nodes.size(); ++t) {
        NodePlan plan = node_plan(request, bins, t);
        plan.side = l.item_words + l.side_words;
        if (!plan.shared.empty()) {
            l.side_words += kWideWords * (2 + 3 * int64_t{plan.side_columns} +
                                          static_cast<int64_t>(plan.shared.size()));
        }
        l.nodes.push_back(std::move(plan));
    }
    return l;
}

// The terms of a row that lacks a value of a numeric pair, in its words other than S_ab.
void add_gap(int64_t xa, int64_t xb, ExactInt wh, ExactInt wr, int64_t* w) {
    add_wide(w, wh);
    add_wide(w + 2, wr);
    add_wide(w + 4, wh * xa);
    add_wide(w + 6, wh * xb);
    add_wide(w + 8, wh * (xa * xa));
    add_wide(w + 12, wh * (xb * xb));
    add_wide(w + 14, wr * xa);
    add_wide(w + 16, wr * xb);
}

// A thread's working arrays for one pass: a run of a node's rows, column by column.
struct RunScratch {
    std::vector<int64_t> begin;
    std::vector<int32_t> order;
    std::vector<int64_t> x;   // place c's grid values (0 when not on it) at c * kNodeRunRows
    std::vector<uint8_t> ok;  // whether they are on it, same layout
    std::vector<int64_t> wh;  // per row of the run: h and r = -g on their grids
    std::vector<int64_t> wr;
    std::vector<uint8_t> lacks;  // whether the row lacks any value
    std::vector<int32_t> code;   // per categorical place, at c * kNodeRunRows: the row's
                                 // code, or -1 for NaN and codes out of the int32 range
};

// Sum of a * x over the run.
ExactInt weighted_sum(const int64_t* a, const int64_t* x, int32_t m) {
    ExactInt s = 0;
    for (int32_t j = 0; j < m; ++j) s += static_cast<ExactInt>(a[j]) * x[j];
    return s;
}

// Sum of a * x * y over the run; x * y fits in 62 bits, so one wide product per row.
ExactInt weighted_cross(const int64_t* a, const int64_t* x, const int64_t* y, int32_t m) {
    ExactInt s = 0;
    for (int32_t j = 0; j < m; ++j) s += static_cast<ExactInt>(a[j]) * (x[j] * y[j]);
    return s;
}

// Adds a run's rows to a categorical pair, from its numeric column's grid values xb (where
// ob says they are on it) and its categorical column's codes. The sums of h and r of a
// node's rows fit in 64 bits (fixed_grid.hpp), so only the sums with a value are wide.
void add_category_run(const ColumnPair& pair, const int64_t* xb, const uint8_t* ob,
                      const int32_t* code, const int64_t* wh, const int64_t* wr, int32_t m,
                      int64_t* w) {
    int64_t n_q[kMaxPairCategories] = {}, r_q[kMaxPairCategories] = {};
    ExactInt s_q[kMaxPairCategories] = {};
    int64_t hc = 0;
    ExactInt t = 0, sxx = 0;
    for (int32_t j = 0; j < m; ++j) {
        const int32_t q = code[j];
        if (ob[j] == 0 || q < 0 || q > pair.top) continue;
        n_q[q] += wh[j];
        r_q[q] += wr[j];
        s_q[q] += static_cast<ExactInt>(wh[j]) * xb[j];
        hc += wh[j];
        t += static_cast<ExactInt>(wr[j]) * xb[j];
        sxx += static_cast<ExactInt>(wh[j]) * (xb[j] * xb[j]);
    }
    for (int32_t q = 0; q <= pair.top; ++q) {
        add_wide(w + kWideWords * (3 * q), n_q[q]);
        add_wide(w + kWideWords * (3 * q + 1), r_q[q]);
        add_wide(w + kWideWords * (3 * q + 2), s_q[q]);
    }
    int64_t* tail = w + kWideWords * (3 * (int64_t{pair.top} + 1));
    add_wide(tail, hc);
    add_wide(tail + kWideWords, t);
    add_wide(tail + 2 * kWideWords, sxx);
}

// Puts a run of m rows (bag indices idx) of node t on their grids.
bool load_run(const ShardRows& shard, const ShardTree& st, const StatsRequest& request, int32_t k,
              const NodePlan& plan, int32_t t, const int32_t* idx, int32_t m, RunScratch& s) {
    const size_t n = plan.columns.size();
    bool any = false;
    for (int32_t j = 0; j < m; ++j) {
        int64_t g = 0, h = 0;
        row_gradient(st, idx[j], k, request, t, g, h);
        s.wh[j] = h;
        s.wr[j] = -g;
        const double* row = shard.X.row(st.bag[idx[j]]);
        for (size_t c = 0; c < plan.categories.size(); ++c) {
            const double a = row[plan.categories[c]];
            s.code[c * kNodeRunRows + j] = a != a ? -1 : std::max(category_code(a), -1);
        }
        uint8_t lack = 0;
        for (size_t c = 0; c < n; ++c) {
            int64_t q = 0;
            const uint8_t ok = on_grid(row[plan.columns[c]], plan.grid[c], q) ? 1 : 0;
            s.x[c * kNodeRunRows + j] = ok != 0 ? q : 0;
            s.ok[c * kNodeRunRows + j] = ok;
            lack |= ok ^ 1;
        }
        s.lacks[j] = lack;
        any = any || lack != 0;
    }
    return any;
}

// Adds a run of node t's rows (as load_run left them) to the pass's words.
void add_run(const StatsRequest& request, const PairLayout& l, const NodePlan& plan, bool lacking,
             int32_t m, const RunScratch& s, int64_t* words) {
    const int64_t* wh = s.wh.data();
    const int64_t* wr = s.wr.data();
    auto column = [&](int32_t place) { return s.x.data() + int64_t{place} * kNodeRunRows; };
    auto on = [&](int32_t place) { return s.ok.data() + int64_t{place} * kNodeRunRows; };
    const size_t n_shared = plan.shared.size();
    if (n_shared > 0) {
        int64_t* side = words + plan.side;
        ExactInt sum_h = 0, sum_r = 0;
        for (int32_t j = 0; j < m; ++j) {
            sum_h += wh[j];
            sum_r += wr[j];
        }
        add_wide(side, sum_h);
        add_wide(side + kWideWords, sum_r);
        for (int32_t c = 0; c < plan.side_columns; ++c) {
            int64_t* w = side + kWideWords * (2 + 3 * int64_t{c});
            const int64_t* x = column(c);
            add_wide(w, weighted_sum(wh, x, m));
            add_wide(w + kWideWords, weighted_cross(wh, x, x, m));
            add_wide(w + 2 * kWideWords, weighted_sum(wr, x, m));
        }
        int64_t* cross = side + kWideWords * (2 + 3 * int64_t{plan.side_columns});
        for (size_t p = 0; p < n_shared; ++p) {
            add_wide(cross + kWideWords * static_cast<int64_t>(p),
                     weighted_cross(wh, column(plan.at_a[p]), column(plan.at_b[p]), m));
        }
    }
    for (size_t e = 0; lacking && e < plan.gaps.size(); ++e) {
        const int32_t p = plan.gaps[e];
        const int32_t a = plan.at_a[p], b = plan.at_b[p];
        const int64_t *xa = column(a), *xb = column(b);
        const uint8_t *oa = on(a), *ob = on(b);
        int64_t* w = words + l.offset[plan.shared[p]];
        for (int32_t j = 0; j < m; ++j) {
            if (s.lacks[j] == 0 || (oa[j] != 0 && ob[j] != 0)) continue;
            add_gap(xa[j], xb[j], wh[j], wr[j], w);
        }
    }
    for (size_t p = 0; p < plan.own.size(); ++p) {
        add_category_run(request.pairs[plan.own[p]], column(plan.at_b[n_shared + p]),
                         on(plan.at_b[n_shared + p]),
                         s.code.data() + int64_t{plan.at_code[p]} * kNodeRunRows, wh, wr, m,
                         words + l.offset[plan.own[p]]);
    }
}

// The bag rows [i0, i1) node by node, in runs of at most kNodeRunRows rows.
void moment_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                 int32_t k, const PairLayout& l, int64_t i0, int64_t i1, int64_t* words) {
    RunScratch s;
    rows_by_node(st, request, i0, i1, s.begin, s.order);
    size_t most = 0;
    for (const NodePlan& plan : l.nodes) most = std::max(most, plan.columns.size());
    s.x.resize(most * kNodeRunRows);
    s.ok.resize(most * kNodeRunRows);
    s.wh.resize(kNodeRunRows);
    s.wr.resize(kNodeRunRows);
    s.lacks.resize(kNodeRunRows);
    size_t most_codes = 0;
    for (const NodePlan& plan : l.nodes) most_codes = std::max(most_codes, plan.categories.size());
    s.code.resize(most_codes * kNodeRunRows);
    for (size_t t = 0; t < l.nodes.size(); ++t) {
        const NodePlan& plan = l.nodes[t];
        if (plan.shared.empty() && plan.own.empty()) continue;
        for (int64_t r = s.begin[t]; r < s.begin[t + 1]; r += kNodeRunRows) {
            const auto m =
                static_cast<int32_t>(std::min<int64_t>(kNodeRunRows, s.begin[t + 1] - r));
            const bool lacking = load_run(shard, st, request, k, plan, static_cast<int32_t>(t),
                                          s.order.data() + r, m, s);
            add_run(request, l, plan, lacking, m, s, words);
        }
    }
}

// Every numeric pair's words become the merged side sums minus the terms of the rows that
// lack one of its values (none for S_ab).
void fill_shared(const PairLayout& l, const int64_t* words, int64_t* items) {
    for (const NodePlan& plan : l.nodes) {
        const int64_t* side = words + plan.side;
        for (size_t m = 0; m < plan.shared.size(); ++m) {
            int64_t* w = items + l.offset[plan.shared[m]];
            const int64_t* a = side + kWideWords * (2 + 3 * int64_t{plan.at_a[m]});
            const int64_t* b = side + kWideWords * (2 + 3 * int64_t{plan.at_b[m]});
            const int64_t* cross =
                side + kWideWords * (2 + 3 * int64_t{plan.side_columns} + static_cast<int64_t>(m));
            const int64_t* from[] = {side,
                                     side + kWideWords,
                                     a,
                                     b,
                                     a + kWideWords,
                                     cross,
                                     b + kWideWords,
                                     a + 2 * kWideWords,
                                     b + 2 * kWideWords};
            for (int32_t v = 0; v < kPairSumCount; ++v) {
                int64_t* word = w + kWideWords * v;
                set_wide(word, read_wide(from[v]) - read_wide(word));
            }
        }
    }
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

int64_t pair_items_words(const std::vector<ColumnPair>& pairs) {
    int64_t words = 0;
    for (const ColumnPair& pair : pairs) words += pair_item_words(pair);
    return words;
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
    const PairLayout l = layout(request, *shard.bins, shard.X.n_cols);
    mark_targets(request, st);
    // The side words ride after the items through the pass and its merge.
    std::vector<int64_t> words(out.begin(), out.end());
    words.resize(words.size() + static_cast<size_t>(l.side_words), 0);
    row_pass(st, request.kind, words, [&](int64_t i0, int64_t i1, int64_t* w) {
        moment_rows(shard, st, request, n_outputs, l, i0, i1, w);
    });
    fill_shared(l, words.data() + kStatsHeader, words.data() + kStatsHeader);
    std::copy(words.begin(), words.begin() + static_cast<int64_t>(out.size()), out.begin());
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
