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

// A value on its column's grid; false for NaN, infinities and values beyond the grid.
bool on_grid(double x, int32_t exponent, int64_t& q) {
    if (!std::isfinite(x)) return false;
    const double scaled = std::nearbyint(std::ldexp(x, kValueBits - exponent));
    if (!(std::fabs(scaled) <= kValueLimit)) return false;
    q = static_cast<int64_t>(scaled);
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
    std::vector<int32_t> exponent;    // their grids
    int32_t side_columns = 0;         // how many lead `columns` with side sums
    int64_t side = 0;                 // its side words: H, R, then per column S, SS, T (wide)
    std::vector<int32_t> shared;      // items of numeric pairs
    std::vector<int32_t> own;         // items of categorical pairs, summed on their own
    std::vector<int32_t> at_a, at_b;  // per shared, then own item: its columns' places (a
                                      // categorical column has none: -1)
    std::vector<int32_t> gaps;        // shared pairs (by place) that can lack a value
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
    }
    for (const int32_t f : plan.columns) plan.exponent.push_back(column_value_exponent(bins, f));
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

// Adds a row to a categorical pair, from its numeric column's grid value.
void add_category(const ColumnPair& p, double a, int64_t xb, ExactInt wh, ExactInt wr, int64_t* w) {
    if (a != a) return;
    const int32_t q = category_code(a);
    if (q < 0 || q > p.top) return;
    add_wide(w + kWideWords * (3 * q), wh);
    add_wide(w + kWideWords * (3 * q + 1), wr);
    add_wide(w + kWideWords * (3 * q + 2), wh * xb);
    int64_t* tail = w + kWideWords * (3 * (int64_t{p.top} + 1));
    add_wide(tail, wh);
    add_wide(tail + kWideWords, wr * xb);
    add_wide(tail + 2 * kWideWords, wh * (xb * xb));
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

void moment_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                 int32_t k, const PairLayout& l, int64_t i0, int64_t i1, int64_t* words) {
    std::vector<int64_t> x;
    std::vector<uint8_t> ok;
    for_requested_rows(
        st, request, k, true, i0, i1, [&](int64_t i, int32_t t, int64_t g, int64_t h) {
            const ExactInt wh = h, wr = -g;
            const double* row = shard.X->row(st.bag[i]);
            const NodePlan& plan = l.nodes[t];
            const size_t n = plan.columns.size();
            x.resize(n);
            ok.resize(n);
            bool gap = false;
            for (size_t c = 0; c < n; ++c) {
                ok[c] = on_grid(row[plan.columns[c]], plan.exponent[c], x[c]) ? 1 : 0;
                if (!ok[c]) x[c] = 0;
                gap = gap || !ok[c];
            }
            const size_t n_shared = plan.shared.size();
            if (n_shared > 0) {
                int64_t* side = words + plan.side;
                add_wide(side, wh);
                add_wide(side + kWideWords, wr);
                for (int32_t c = 0; c < plan.side_columns; ++c) {
                    int64_t* s = side + kWideWords * (2 + 3 * int64_t{c});
                    add_wide(s, wh * x[c]);
                    add_wide(s + kWideWords, wh * (x[c] * x[c]));
                    add_wide(s + 2 * kWideWords, wr * x[c]);
                }
                int64_t* cross = side + kWideWords * (2 + 3 * int64_t{plan.side_columns});
                const int32_t* at_a = plan.at_a.data();
                const int32_t* at_b = plan.at_b.data();
                for (size_t m = 0; m < n_shared; ++m) {
                    add_wide(cross + kWideWords * m, wh * (x[at_a[m]] * x[at_b[m]]));
                }
            }
            for (size_t e = 0; gap && e < plan.gaps.size(); ++e) {
                const int32_t m = plan.gaps[e];
                const int32_t a = plan.at_a[m], b = plan.at_b[m];
                if (ok[a] && ok[b]) continue;
                add_gap(x[a], x[b], wh, wr, words + l.offset[plan.shared[m]]);
            }
            for (size_t m = 0; m < plan.own.size(); ++m) {
                const int32_t at_b = plan.at_b[n_shared + m];
                if (!ok[at_b]) continue;
                const ColumnPair& p = request.pairs[plan.own[m]];
                add_category(p, row[p.a], x[at_b], wh, wr, words + l.offset[plan.own[m]]);
            }
        });
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
