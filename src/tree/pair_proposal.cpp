#include "tree/pair_proposal.hpp"

#include <omp.h>

#include <algorithm>

#include "common/parallel.hpp"

namespace vorlent {
namespace {

// Pairs above which the passes over a run's pairs run in parallel.
constexpr int64_t kParallelPairs = 16;

// The run's pair (a, b), a < b, a0 <= a.
int64_t pair_at(const SearchWorkspace& ws, int32_t a0, int32_t a, int32_t b) {
    return ws.run_start[a - a0] + (b - a - 1);
}

// The sums that pairs other than the plain numeric ones need before their directions, from
// one walk over the node's row blocks:
// - PairSums of every pair p of the run for which ridge_with_missing(p) holds, into
//   ws.missing_sums[p]: pairs with the same first column and second columns within
//   kPairSumLanes neighbouring columns take the rows together, one lane each;
// - CategorySums of the run's pairs of a categorical column whose largest code in the node
//   is 1 to 31 and a numeric column, into ws.category_sums at ws.category_slot[p] (-1 for
//   none): numeric columns within kCategoryLanes neighbouring columns take the rows
//   together, one lane each.
// Every lane's sums are formed row by row as for its pair alone, so neither the lanes'
// grouping nor the run changes them.
template <class Wanted>
void lane_sums(const NodeSearch& in, std::vector<ThreadScratch>& scratch, SearchWorkspace& ws,
               const NodePairs& np, int32_t a0, int32_t a1, Wanted ridge_with_missing) {
    const std::vector<FeatureColumn>& cols = *in.columns;
    const int32_t c_count = static_cast<int32_t>(cols.size());
    const PairConfig& config = np.config;
    const int32_t n = in.node->n;
    const int64_t n_pairs = static_cast<int64_t>(ws.pairs.size());
    ws.sum_groups.clear();
    ws.sum_group_lane_b.clear();
    for (int64_t p = 0; p < n_pairs; ++p) {
        if (!ridge_with_missing(p)) continue;
        const auto [pa, pb] = ws.pairs[p];
        if (ws.sum_groups.empty() || ws.pairs[ws.sum_groups.back()].first != pa ||
            pb - ws.sum_group_lane_b.back() >= kPairSumLanes) {
            ws.sum_groups.push_back(static_cast<int32_t>(p));
            ws.sum_group_lane_b.push_back(pb);
        }
    }
    // A categorical column c meets the numeric columns j of the run's pairs: j in [a0, a1)
    // below c, and every j above c when c is a first column of the run.
    auto run_pair = [&](int32_t c, int32_t j) {
        const int32_t first = std::min(c, j);
        return first >= a0 && first < a1;
    };
    ws.category_slot.clear();
    ws.category_groups.clear();
    for (int32_t c = a0; c < c_count; ++c) {
        const int32_t top = ws.category_top[c];
        if (!config.is_categorical(cols[c].feature) || top < 1 || top >= kMaxPairCategories) {
            continue;
        }
        for (int32_t j = a0; j < c_count; ++j) {
            if (j == std::min(a1, c)) j = c < a1 ? c + 1 : c_count;
            if (j >= c_count) break;
            if (config.is_categorical(cols[j].feature)) continue;
            if (ws.category_groups.empty() || ws.category_groups.back().category != c ||
                j - ws.category_groups.back().lane_b >= kCategoryLanes) {
                ws.category_groups.push_back(CategoryGroup{c, j, top});
            }
        }
    }
    const int64_t n_sum = static_cast<int64_t>(ws.sum_groups.size());
    const int64_t n_category = static_cast<int64_t>(ws.category_groups.size());
    if (n_sum + n_category == 0) return;
    ws.sum_lanes.assign(static_cast<size_t>(n_sum), PairSumLanes{});
    ws.category_lanes.assign(static_cast<size_t>(n_category), CategoryLanes{});
    const int64_t n_groups = n_sum + n_category;
    parallel_interleaved(n_groups, n_groups > 1, [&](int64_t first, int64_t step) {
        ThreadScratch& s = scratch[omp_get_thread_num()];
        for (int32_t k0 = 0; k0 < n; k0 += kScreenBlockRows) {
            const ScreenBlock block = column_block(ws, s, c_count, k0, n);
            for (int64_t g = first; g < n_groups; g += step) {
                if (g < n_sum) {
                    pair_sums_block(block, ws.pairs[ws.sum_groups[g]].first, ws.sum_group_lane_b[g],
                                    *in.node, ws.sum_lanes[g]);
                } else {
                    const CategoryGroup& group = ws.category_groups[g - n_sum];
                    category_sums_block(block, group.category, group.lane_b, group.top + 1,
                                        *in.node, ws.category_lanes[g - n_sum]);
                }
            }
        }
    });
    ws.missing_sums.resize(static_cast<size_t>(n_pairs));
    for (int64_t g = 0; g < n_sum; ++g) {
        const int32_t pa = ws.pairs[ws.sum_groups[g]].first;
        for (int64_t p = ws.sum_groups[g]; p < n_pairs && ws.pairs[p].first == pa; ++p) {
            const int32_t lane = ws.pairs[p].second - ws.sum_group_lane_b[g];
            if (lane >= kPairSumLanes) break;
            if (ridge_with_missing(p)) ws.missing_sums[p] = ws.sum_lanes[g].lane(lane);
        }
    }
    if (n_category == 0) return;
    ws.category_slot.assign(static_cast<size_t>(n_pairs), -1);
    ws.category_sums.clear();
    for (const CategoryGroup& group : ws.category_groups) {
        const CategoryLanes& lanes = ws.category_lanes[&group - ws.category_groups.data()];
        for (int32_t j = group.lane_b; j < std::min(c_count, group.lane_b + kCategoryLanes); ++j) {
            if (config.is_categorical(cols[j].feature) || !run_pair(group.category, j)) continue;
            const int64_t p =
                pair_at(ws, a0, std::min(group.category, j), std::max(group.category, j));
            ws.category_slot[p] = static_cast<int32_t>(ws.category_sums.size());
            ws.category_sums.push_back(lanes.lane(j - group.lane_b, group.top));
        }
    }
}

// Cross moments of the run's pairs without missing values, in blocks of rows that stay in
// cache while every pair of a thread's share reads them.
void cross_moments(const std::vector<FeatureColumn>& cols, const NodePairs& np, int32_t n,
                   SearchWorkspace& ws) {
    const int64_t n_pairs = static_cast<int64_t>(ws.pairs.size());
    const std::vector<bool>& has_missing = *np.has_missing;
    ws.cross_lanes.assign(static_cast<size_t>(n_pairs) * kCrossLanes, 0.0f);
    ws.cross.resize(static_cast<size_t>(n_pairs));
    parallel_blocks(n_pairs, n_pairs > kParallelPairs, [&](int64_t p0, int64_t p1) {
        for (int32_t k0 = 0; k0 < n; k0 += kScreenBlockRows) {
            const int32_t k1 = std::min(n, k0 + kScreenBlockRows);
            // Up to kCrossShared neighbouring pairs with the same first column share its
            // loads; unused places write to a spare set of lanes.
            float spare[kCrossLanes];
            const float* xb[kCrossShared];
            float* lanes[kCrossShared];
            int32_t count = 0;
            int32_t shared_a = -1;
            auto flush = [&]() {
                for (int32_t j = count; j < kCrossShared; ++j) {
                    xb[j] = xb[0];
                    lanes[j] = spare;
                }
                cross_moment_lanes_shared(cols[shared_a].values, xb, np.hess_f32, k0, k1, lanes);
                count = 0;
            };
            for (int64_t p = p0; p < p1; ++p) {
                const auto [pa, pb] = ws.pairs[p];
                if (has_missing[cols[pa].feature] || has_missing[cols[pb].feature]) continue;
                if (count > 0 && pa != shared_a) flush();
                shared_a = pa;
                xb[count] = cols[pb].values;
                lanes[count++] = ws.cross_lanes.data() + p * kCrossLanes;
                if (count == kCrossShared) flush();
            }
            if (count > 0) flush();
        }
        for (int64_t p = p0; p < p1; ++p) {
            ws.cross[p] = cross_moment_total(ws.cross_lanes.data() + p * kCrossLanes);
        }
    });
}

}  // namespace

int32_t pair_run_end(int32_t a0, int32_t c_count, int64_t batch) {
    int64_t pairs = c_count - 1 - a0;
    int32_t a1 = a0 + 1;
    while (a1 + 1 < c_count && pairs + (c_count - 1 - a1) <= batch) pairs += c_count - 1 - a1++;
    return a1;
}

ScreenBlock column_block(const SearchWorkspace& ws, ThreadScratch& s, int32_t n_columns, int32_t k0,
                         int32_t n) {
    const int64_t stride = (n_columns + kScreenLanes + 3) / 4 * 4;
    double* buffer =
        grow(s.screen_rows, static_cast<size_t>(kScreenBlockRows) * static_cast<size_t>(stride));
    return fill_screen_block(ws.column_order.data(), n_columns, k0,
                             std::min(n - k0, kScreenBlockRows), stride, buffer);
}

void propose_pairs(const NodeSearch& in, std::vector<ThreadScratch>& scratch, SearchWorkspace& ws,
                   const NodePairs& np, int32_t a0, int32_t a1) {
    const std::vector<FeatureColumn>& cols = *in.columns;
    const NodeGradients& node = *in.node;
    const std::vector<bool>& has_missing = *np.has_missing;
    const PairConfig& config = np.config;
    const int32_t c_count = static_cast<int32_t>(cols.size());

    ws.pairs.clear();
    ws.run_start.clear();
    for (int32_t pa = a0; pa < a1; ++pa) {
        ws.run_start.push_back(static_cast<int64_t>(ws.pairs.size()));
        for (int32_t pb = pa + 1; pb < c_count; ++pb) ws.pairs.emplace_back(pa, pb);
    }
    const int64_t n_pairs = static_cast<int64_t>(ws.pairs.size());
    ws.directions.resize(static_cast<size_t>(n_pairs));
    ws.pair_offsets.resize(static_cast<size_t>(n_pairs) * kMaxPairCategories);
    cross_moments(cols, np, node.n, ws);
    // Sums of the missing-aware pairs that the ridge fit takes (neither or both columns
    // categorical), a lane per pair.
    auto ridge_with_missing = [&](int64_t p) {
        const auto [pa, pb] = ws.pairs[p];
        const int32_t fa = cols[pa].feature, fb = cols[pb].feature;
        return (has_missing[fa] || has_missing[fb]) &&
               config.is_categorical(fa) == config.is_categorical(fb);
    };
    lane_sums(in, scratch, ws, np, a0, a1, ridge_with_missing);
    parallel_for(n_pairs, n_pairs > kParallelPairs, [&](int64_t p) {
        const auto [pa, pb] = ws.pairs[p];
        const bool missing_aware = has_missing[cols[pa].feature] || has_missing[cols[pb].feature];
        const int32_t slot = ws.category_slot.empty() ? -1 : ws.category_slot[p];
        ws.directions[p] = pair_direction(
            cols[pa], cols[pb], node, np.hess_f32, config, missing_aware, np.hs, np.r0,
            ws.moments[pa], ws.moments[pb], ws.pair_offsets.data() + p * kMaxPairCategories,
            &ws.cross[p], ridge_with_missing(p) ? &ws.missing_sums[p] : nullptr,
            slot >= 0 ? &ws.category_sums[slot] : nullptr);
    });
    for (int64_t p = 0; p < n_pairs; ++p) {
        const PairDirection& d = ws.directions[p];
        if (!(d.prescore >= 0.0)) continue;
        const auto [pa, pb] = ws.pairs[p];
        PairCandidate c;
        c.prescore = d.prescore;
        c.coef_a = d.coef_a;
        c.coef_b = d.coef_b;
        c.cross_moment = d.cross_moment;
        c.pos_a = pa;
        c.pos_b = pb;
        c.missing_aware = has_missing[cols[pa].feature] || has_missing[cols[pb].feature];
        c.offsets_begin = static_cast<int32_t>(ws.offset_pool.size());
        c.n_offsets = d.n_offsets;
        c.index = ws.proposed++;
        const double* offsets = ws.pair_offsets.data() + p * kMaxPairCategories;
        ws.offset_pool.insert(ws.offset_pool.end(), offsets, offsets + d.n_offsets);
        ws.candidates.push_back(c);
    }
}

}  // namespace vorlent
