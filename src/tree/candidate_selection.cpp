#include "tree/candidate_selection.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdint>

#include "common/parallel.hpp"
#include "decide/ranking.hpp"
#include "decide/screening.hpp"

namespace vorlent {
namespace {

// The order of candidate x before y under `key`: the higher key first, on equal keys the
// one proposed first. It is total, so the kept set and its order never depend on how the
// candidates were gathered.
template <class Key>
bool ranks_before(const PairCandidate& x, const PairCandidate& y, Key key) {
    const double kx = key(x);
    const double ky = key(y);
    return kx != ky ? kx > ky : x.index < y.index;
}

double by_prescore(const PairCandidate& c) { return c.prescore; }

// One field of every candidate, side by side in `out`, for the rankings that read arrays.
template <class T, class Field>
const T* gathered(const std::vector<PairCandidate>& candidates, std::vector<T>& out,
                  Field field) {
    out.resize(candidates.size());
    for (size_t i = 0; i < candidates.size(); ++i) out[i] = field(candidates[i]);
    return out.data();
}


// Keeps the `keep` candidates with the highest prescore (decide/ranking.hpp, equal prescores
// ranked by proposal index), in descending prescore order; equal prescores keep proposal
// order.
void keep_top(std::vector<PairCandidate>& candidates, size_t keep, SearchWorkspace& ws) {
    const size_t n = candidates.size();
    top_ranked(gathered(candidates, ws.prescores, by_prescore),
               gathered(candidates, ws.indices, [](const PairCandidate& c) { return c.index; }),
               static_cast<int32_t>(n), static_cast<int32_t>(std::min(keep, n)), ws.order,
               ws.top);
    std::sort(ws.top.begin(), ws.top.end(), [&](int32_t x, int32_t y) {
        return ranks_before(candidates[x], candidates[y], by_prescore);
    });
    ws.kept.clear();
    for (const int32_t at : ws.top) ws.kept.push_back(candidates[at]);
    candidates.swap(ws.kept);
}

// Whether no column of screening group g has missing values.
bool group_complete(const std::vector<PairCandidate>& candidates,
                    const std::vector<int32_t>& groups, int64_t g,
                    const std::vector<FeatureColumn>& cols, const std::vector<bool>& has_missing) {
    bool complete = !has_missing[cols[candidates[groups[g]].pos_a].feature];
    for (int32_t i = groups[g]; i < groups[g + 1]; ++i) {
        complete = complete && !has_missing[cols[candidates[i].pos_b].feature];
    }
    return complete;
}

// Keeps the candidates that screening marks (decide/screening.hpp) in proposal order, the
// order the candidates are in: kept ones keep their order and new ones follow them.
void keep_screened(std::vector<PairCandidate>& candidates, size_t half, SearchWorkspace& ws) {
    const size_t n = candidates.size();
    mark_screened(gathered(candidates, ws.prescores, by_prescore),
                  gathered(candidates, ws.screens,
                           [](const PairCandidate& c) { return c.screen_score; }),
                  static_cast<int32_t>(n), static_cast<int32_t>(half), ws.order, ws.top,
                  ws.marked);
    ws.kept.clear();
    for (size_t i = 0; i < n; ++i) {
        if (ws.marked[i]) ws.kept.push_back(candidates[i]);
    }
    candidates.swap(ws.kept);
}

// Screening scores of the candidates from ws.screened on, which are whole first columns'
// candidates in proposal order. Candidates that share their first column and whose second
// columns lie within kScreenLanes neighbouring columns are screened together, a lane per
// column.
void screen_candidates(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                       SearchWorkspace& ws, const NodePairs& np) {
    const std::vector<FeatureColumn>& cols = *in.columns;
    const NodeGradients& node = *in.node;
    const std::vector<bool>& has_missing = *np.has_missing;
    const PairConfig& config = np.config;
    const int32_t c_count = static_cast<int32_t>(cols.size());
    const int32_t n = node.n;
    std::vector<PairCandidate>& candidates = ws.candidates;
    const size_t first = ws.screened;
    ws.screened = candidates.size();
    if (first >= candidates.size()) return;
    ws.groups.clear();
    ws.group_lane_b.clear();
    for (size_t i = first; i < candidates.size(); ++i) {
        const PairCandidate& c = candidates[i];
        if (ws.groups.empty() || c.pos_a != candidates[ws.groups.back()].pos_a ||
            c.pos_b - ws.group_lane_b.back() >= kScreenLanes) {
            ws.groups.push_back(static_cast<int32_t>(i));
            ws.group_lane_b.push_back(c.pos_b);
        }
    }
    const int64_t n_groups = static_cast<int64_t>(ws.groups.size());
    ws.groups.push_back(static_cast<int32_t>(candidates.size()));
    ws.group_inv.resize(static_cast<size_t>(n_groups) * kScreenLanes);
    for (int64_t g = 0; g < n_groups; ++g) {
        const int32_t fa = cols[candidates[ws.groups[g]].pos_a].feature;
        for (int32_t j = 0; j < kScreenLanes; ++j) {
            // Lanes past the last column read padding and are dropped.
            const int32_t pos = ws.group_lane_b[g] + j;
            const int32_t fb = pos < c_count ? cols[pos].feature : fa;
            ws.group_inv[g * kScreenLanes + j] = 1.0 / (config.scale(fb) * config.scale(fa));
        }
    }
    // Each thread takes every T-th group and walks the rows in blocks, copied side by side
    // in double precision, that stay in cache while every group of the thread reads them.
    ws.screen_sums.assign(static_cast<size_t>(n_groups), ScreenSums{});
    const int64_t count = static_cast<int64_t>(candidates.size() - first);
    parallel_interleaved(n_groups, count > kParallelCandidates, [&](int64_t first_group,
                                                                    int64_t step) {
        ThreadScratch& s = scratch[omp_get_thread_num()];
        for (int32_t k0 = 0; k0 < n; k0 += kScreenBlockRows) {
            const ScreenBlock block = column_block(ws, s, c_count, k0, n);
            for (int64_t g = first_group; g < n_groups; g += step) {
                const int32_t pos_a = candidates[ws.groups[g]].pos_a;
                const double* inv = ws.group_inv.data() + g * kScreenLanes;
                if (group_complete(candidates, ws.groups, g, cols, has_missing)) {
                    screen_block_complete(block, pos_a, ws.group_lane_b[g], inv, node,
                                          ws.screen_sums[g]);
                } else {
                    screen_block(block, pos_a, ws.group_lane_b[g], inv, node, ws.screen_sums[g]);
                }
            }
        }
        for (int64_t g = first_group; g < n_groups; g += step) {
            // Pairs without missing values count every row: their hessian and gradient
            // totals are the node's, summed in the same row order.
            if (group_complete(candidates, ws.groups, g, cols, has_missing)) {
                std::fill(std::begin(ws.screen_sums[g].hz), std::end(ws.screen_sums[g].hz), np.hs);
                std::fill(std::begin(ws.screen_sums[g].rz), std::end(ws.screen_sums[g].rz), np.r0);
            }
            for (int32_t i = ws.groups[g]; i < ws.groups[g + 1]; ++i) {
                candidates[i].screen_score = screen_result(
                    ws.screen_sums[g], candidates[i].pos_b - ws.group_lane_b[g], config.lambda);
            }
        }
    });
}

// Copies the kept candidates' offsets to a fresh pool, so that the pool holds no more
// than the candidates need.
void compact_offsets(SearchWorkspace& ws) {
    std::vector<double>& fresh = ws.offset_spare;
    fresh.clear();
    for (PairCandidate& c : ws.candidates) {
        const double* offsets = ws.offset_pool.data() + c.offsets_begin;
        c.offsets_begin = static_cast<int32_t>(fresh.size());
        fresh.insert(fresh.end(), offsets, offsets + c.n_offsets);
    }
    ws.offset_pool.swap(fresh);
}

}  // namespace

// Cuts ws.candidates down to what `sel` keeps of them. Because the kept set of a subset
// that holds it is the kept set of the whole, the search can cut down as it goes and keep
// its candidates bounded.
void select_candidates(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                       SearchWorkspace& ws, const NodePairs& np, const Selection& sel) {
    if (sel.screening) {
        screen_candidates(in, scratch, ws, np);
        keep_screened(ws.candidates, screened_half(sel.keep), ws);
        ws.screened = ws.candidates.size();
    } else {
        keep_top(ws.candidates, sel.keep, ws);
    }
    compact_offsets(ws);
}

void keep_best_prescores(SearchWorkspace& ws, size_t keep) {
    keep_top(ws.candidates, keep, ws);
}

}  // namespace vorlent
