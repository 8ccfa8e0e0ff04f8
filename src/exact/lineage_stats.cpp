#include "exact/lineage_stats.hpp"

#include <algorithm>
#include <cmath>

#include "common/numeric.hpp"
#include "tree/lineage_direction.hpp"

namespace vorlent {

void LineageCandidates::add(const std::vector<int32_t>& columns, const std::vector<double>& coefs,
                            int32_t k) {
    column.insert(column.end(), columns.begin(), columns.end());
    coef.insert(coef.end(), coefs.begin(), coefs.end());
    entry_start.push_back(static_cast<int64_t>(column.size()));
    exponent.push_back(k);
    ++node_start.back();
}

int32_t lineage_value_exponent(double bound) {
    // A value sums at most one product per column, each rounded: with fewer than 2^20
    // columns it exceeds the exact sum of magnitudes by far less than the 2^-30 margin.
    constexpr int32_t kLowest = -1000;  // 2^1000 still scales the values exactly
    constexpr int32_t kHighest = 1024;  // every finite double is below 2^1024
    const double padded = bound * (1.0 + 0x1p-30) + 0x1p-1000;
    if (!std::isfinite(padded)) return kHighest;
    int e = 0;
    std::frexp(padded, &e);  // 2^(e-1) <= padded < 2^e
    return e < kLowest ? kLowest : e;
}

namespace {

bool same_grid(const FixedGrid& a, const FixedGrid& b) {
    return a.exponent == b.exponent && a.scale == b.scale && a.step == b.step;
}

// Whether starts (a list's offsets) run from 0 to `total` without going back.
template <class T>
bool laid_out(const std::vector<T>& starts, size_t n_lists, size_t total) {
    if (starts.size() != n_lists + 1 || starts.front() != 0 ||
        starts.back() != static_cast<T>(total)) {
        return false;
    }
    return std::is_sorted(starts.begin(), starts.end());
}

}  // namespace

bool lineage_candidates_fit(const LineageCandidates& cand, size_t n_nodes, int32_t n_cols,
                            const std::vector<double>& column_bound, const RoundGrids& grids) {
    const size_t n_candidates = cand.exponent.size();
    if (!same_grid(cand.grids.grad, grids.grad) || !same_grid(cand.grids.hess, grids.hess) ||
        cand.slots < 0 || static_cast<size_t>(cand.slots) > n_candidates ||
        !laid_out(cand.node_start, n_nodes, n_candidates) ||
        !laid_out(cand.entry_start, n_candidates, cand.column.size()) ||
        cand.coef.size() != cand.column.size() ||
        column_bound.size() != static_cast<size_t>(n_cols)) {
        return false;
    }
    for (size_t t = 0; t < n_nodes; ++t) {
        if (cand.node_start[t + 1] - cand.node_start[t] > cand.slots) return false;
    }
    for (size_t c = 0; c < n_candidates; ++c) {
        // The bound as the coordinator forms it, in the candidate's column order.
        double bound = 0.0;
        for (int64_t e = cand.entry_start[c]; e < cand.entry_start[c + 1]; ++e) {
            const int32_t f = cand.column[e];
            if (f < 0 || f >= n_cols || (e > cand.entry_start[c] && f <= cand.column[e - 1])) {
                return false;
            }
            bound += std::fabs(cand.coef[e]) * column_bound[f];
        }
        const int32_t k = cand.exponent[c];
        if (k < lineage_value_exponent(bound) || k > lineage_value_exponent(kInf)) return false;
    }
    return true;
}

namespace {

// The moments one row adds to a node's block: its m candidates' scaled values u (NaN when
// not finite), h u and the fixed h u, h u^2 and g u (3 per candidate). The product h u_a u_b
// is rounded as FixedGrid::fixed rounds it (finite here), inline in the AVX2 clone.
VORLENT_HOT_KERNEL
void add_row_moments(int32_t m, int64_t slots, const double* u, const double* hu,
                     const int64_t* fixed, int64_t qg, int64_t qh, double hess_scale,
                     int64_t* block) {
    for (int32_t a = 0; a < m; ++a) {
        if (u[a] != u[a]) continue;
        int64_t* one = block + kNodeWords + kLineageSingleWords * a;
        one[0] += qh;
        one[1] += fixed[3 * a];
        one[2] += fixed[3 * a + 1];
        one[3] += fixed[3 * a + 2];
        one[4] += qg;
        int64_t* w = block + lineage_pair_offset(lineage_pair_index(a, a + 1, slots), slots);
        for (int32_t b = a + 1; b < m; ++b, w += kLineagePairWords) {
            if (u[b] != u[b]) continue;
            w[0] += qh;
            w[1] += qg;
            w[2] += fixed[3 * a];
            w[3] += fixed[3 * b];
            w[4] += fixed[3 * a + 1];
            w[5] += fixed[3 * b + 1];
            w[6] += static_cast<int64_t>(std::nearbyint((hu[a] * u[b]) * hess_scale));
            w[7] += fixed[3 * a + 2];
            w[8] += fixed[3 * b + 2];
        }
    }
}

}  // namespace

void lineage_moment_rows(const ShardRows& shard, const ShardTree& st, const LineageCandidates& cand,
                         int64_t i0, int64_t i1, int64_t words, int64_t* blocks,
                         std::vector<double>& values, std::vector<int64_t>& fixed_values) {
    const RowView& X = shard.X;
    const FixedGrid& gg = cand.grids.grad;
    const FixedGrid& hg = cand.grids.hess;
    const int64_t slots = cand.slots;
    // Per candidate of the row's node: u and h u, then the fixed h u, h u^2 and g u; and
    // per candidate of the request its scale 2^-k.
    const size_t n_candidates = cand.exponent.size();
    values.resize(static_cast<size_t>(2 * slots) + n_candidates);
    fixed_values.resize(static_cast<size_t>(3 * slots));
    double* u = values.data();
    double* hu = u + slots;
    double* unit = hu + slots;
    for (size_t c = 0; c < n_candidates; ++c) unit[c] = std::ldexp(1.0, -cand.exponent[c]);
    int64_t* fixed = fixed_values.data();
    const auto ids = static_cast<uint32_t>(st.target.size());
    for (int64_t i = i0; i < i1; ++i) {
        if (static_cast<uint32_t>(st.node[i]) >= ids) continue;
        const int32_t t = st.target[st.node[i]];
        if (t < 0) continue;
        int64_t* block = blocks + t * words;
        const int64_t qg = st.qg[i], qh = st.qh[i];
        block[0] += 1;
        block[1] += qg;
        block[2] += qh;
        const int32_t c0 = cand.node_start[t];
        const int32_t m = cand.node_start[t + 1] - c0;
        if (m < 2) continue;
        const double g = gg.value(qg), h = hg.value(qh);
        const double* row = X.row(st.bag[i]);
        for (int32_t a = 0; a < m; ++a) {
            const int32_t c = c0 + a;
            const int64_t e0 = cand.entry_start[c];
            const double v = candidate_value(cand.column.data() + e0, cand.coef.data() + e0,
                                             cand.entry_start[c + 1] - e0, row);
            if (!std::isfinite(v)) {
                u[a] = std::nan("");
                continue;
            }
            u[a] = v * unit[c];
            hu[a] = h * u[a];
            fixed[3 * a] = hg.fixed(hu[a]);
            fixed[3 * a + 1] = hg.fixed(hu[a] * u[a]);
            fixed[3 * a + 2] = gg.fixed(g * u[a]);
        }
        add_row_moments(m, slots, u, hu, fixed, qg, qh, hg.scale, block);
    }
}

PairSums lineage_pair_sums(const int64_t* block, int64_t pair, int64_t slots,
                           const RoundGrids& grids, int32_t ki, int32_t kj) {
    const int64_t* w = block + lineage_pair_offset(pair, slots);
    const FixedGrid& gg = grids.grad;
    const FixedGrid& hg = grids.hess;
    PairSums s;
    s.H = hg.value(w[0]);
    s.T0 = -gg.value(w[1]);
    s.S_a = std::ldexp(hg.value(w[2]), ki);
    s.S_b = std::ldexp(hg.value(w[3]), kj);
    s.S_aa = std::ldexp(hg.value(w[4]), 2 * ki);
    s.S_bb = std::ldexp(hg.value(w[5]), 2 * kj);
    s.S_ab = std::ldexp(hg.value(w[6]), ki + kj);
    s.T_a = -std::ldexp(gg.value(w[7]), ki);
    s.T_b = -std::ldexp(gg.value(w[8]), kj);
    return s;
}

double lineage_single_score(const int64_t* block, int64_t i, const RoundGrids& grids, int32_t k) {
    const int64_t* w = block + kNodeWords + kLineageSingleWords * i;
    const FixedGrid& gg = grids.grad;
    const FixedGrid& hg = grids.hess;
    return single_column_score(hg.value(w[0]), std::ldexp(hg.value(w[1]), k),
                               std::ldexp(hg.value(w[2]), 2 * k), -std::ldexp(gg.value(w[3]), k),
                               -gg.value(w[4]));
}

}  // namespace vorlent
