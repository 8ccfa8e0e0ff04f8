#include "tree/split_search.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "common/numeric.hpp"
#include "common/parallel.hpp"

namespace vorlent {
namespace {

// Candidates above which screening and evaluation run in parallel.
constexpr int64_t kParallelCandidates = 16;
// Rows screened together while their columns stay in cache.
constexpr int32_t kScreenBlockRows = 512;
constexpr int32_t kMaxDumpedNodes = 500;
constexpr int32_t kMinDumpRows = 20;

std::atomic<int32_t> g_dumped_nodes{0};

bool flag_set(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] == '1';
}

PairConfig pair_config(const Booster& b) {
    return PairConfig{b.reg_lambda, &b.categorical, &b.monotone, &b.feature_scale};
}

// Keeps the `keep` candidates with the highest key, in descending key order; equal keys keep
// proposal order.
template <class Key>
void keep_top(std::vector<PairCandidate>& candidates, size_t keep, std::vector<int32_t>& order,
              std::vector<PairCandidate>& out, Key key) {
    order.resize(candidates.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int32_t>(i);
    std::partial_sort(order.begin(), order.begin() + keep, order.end(), [&](int32_t x, int32_t y) {
        const double kx = key(candidates[x]);
        const double ky = key(candidates[y]);
        return kx != ky ? kx > ky : x < y;
    });
    out.clear();
    for (size_t i = 0; i < keep; ++i) out.push_back(candidates[order[i]]);
    candidates.swap(out);
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

// Marks the `half` best candidates by prescore and the `half` best by screening score and
// keeps the marked ones in proposal order.
void keep_screened(std::vector<PairCandidate>& candidates, size_t half, SearchWorkspace& ws) {
    const size_t n = candidates.size();
    ws.marked.assign(n, 0);
    ws.order.resize(n);
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t i = 0; i < n; ++i) ws.order[i] = static_cast<int32_t>(i);
        std::partial_sort(ws.order.begin(), ws.order.begin() + half, ws.order.end(),
                          [&](int32_t x, int32_t y) {
                              const double kx = pass == 0 ? candidates[x].prescore
                                                          : candidates[x].screen_score;
                              const double ky = pass == 0 ? candidates[y].prescore
                                                          : candidates[y].screen_score;
                              return kx != ky ? kx > ky : x < y;
                          });
        for (size_t i = 0; i < half; ++i) ws.marked[ws.order[i]] = 1;
    }
    ws.kept.clear();
    for (size_t i = 0; i < n; ++i) {
        if (ws.marked[i]) ws.kept.push_back(candidates[i]);
    }
    candidates.swap(ws.kept);
}

// Copies node rows [k0, k0 + kScreenBlockRows) of every column into the thread's buffer,
// side by side in double precision, for the passes that take many pairs a row at a time.
ScreenBlock column_block(const SearchWorkspace& ws, ThreadScratch& s, int32_t n_columns,
                         int32_t k0, int32_t n) {
    const int64_t stride = (n_columns + kScreenLanes + 3) / 4 * 4;
    double* buffer =
        grow(s.screen_rows, static_cast<size_t>(kScreenBlockRows) * static_cast<size_t>(stride));
    return fill_screen_block(ws.column_order.data(), n_columns, k0, std::min(n - k0, kScreenBlockRows),
                             stride, buffer);
}

// The sums that pairs other than the plain numeric ones need before their directions, from
// one walk over the node's row blocks:
// - PairSums of every pair p for which ridge_with_missing(p) holds, into
//   ws.missing_sums[p]: pairs with the same first column and second columns within
//   kPairSumLanes neighbouring columns take the rows together, one lane each;
// - CategorySums of every categorical column whose largest code in the node is 1 to 31
//   against every numeric column: ws.category_slot[c * c_count + j] is the entry of
//   ws.category_sums for categorical column c and numeric column j, or -1; numeric columns
//   within kCategoryLanes neighbouring columns take the rows together, one lane each.
template <class Wanted>
void lane_sums(const NodeSearch& in, std::vector<ThreadScratch>& scratch, SearchWorkspace& ws,
               int32_t c_count, const PairConfig& config, Wanted ridge_with_missing) {
    const std::vector<FeatureColumn>& cols = *in.columns;
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
    ws.category_slot.clear();
    ws.category_groups.clear();
    for (int32_t c = 0; c < c_count; ++c) {
        if (!config.is_categorical(cols[c].feature)) continue;
        const int32_t top = largest_code(cols[c], n);
        if (top < 1 || top >= kMaxPairCategories) continue;
        for (int32_t j = 0; j < c_count; ++j) {
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
                    pair_sums_block(block, ws.pairs[ws.sum_groups[g]].first,
                                    ws.sum_group_lane_b[g], *in.node, ws.sum_lanes[g]);
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
    ws.category_slot.assign(static_cast<size_t>(c_count) * c_count, -1);
    ws.category_sums.clear();
    for (const CategoryGroup& group : ws.category_groups) {
        const CategoryLanes& lanes = ws.category_lanes[&group - ws.category_groups.data()];
        for (int32_t j = group.lane_b; j < std::min(c_count, group.lane_b + kCategoryLanes); ++j) {
            if (config.is_categorical(cols[j].feature)) continue;
            ws.category_slot[static_cast<size_t>(group.category) * c_count + j] =
                static_cast<int32_t>(ws.category_sums.size());
            ws.category_sums.push_back(lanes.lane(j - group.lane_b, group.top));
        }
    }
}

// A linear candidate without missing values, which the single-precision path evaluates.
bool is_fast(const PairCandidate& c) { return c.n_offsets == 0 && !c.missing_aware; }

FastPair fast_pair(const PairCandidate& c, const NodeSearch& in, const SearchWorkspace& ws) {
    const std::vector<FeatureColumn>& cols = *in.columns;
    return FastPair{&cols[c.pos_a], &cols[c.pos_b], c.coef_a,
                    c.coef_b,       &ws.moments[c.pos_a], &ws.moments[c.pos_b]};
}

// A candidate on the exact path: a linear pair with missing values or a
// categorical-numeric pair, whose categorical column comes first.
ExactPair exact_pair(const PairCandidate& c, const NodeSearch& in, const SearchWorkspace& ws) {
    const std::vector<FeatureColumn>& cols = *in.columns;
    const FeatureColumn& a = cols[c.pos_a];
    const FeatureColumn& other = cols[c.pos_b];
    if (c.n_offsets == 0) return ExactPair{&a, &other, c.coef_a, c.coef_b};
    const bool a_is_category = pair_config(*in.booster).is_categorical(a.feature);
    return ExactPair{a_is_category ? &a : &other,
                     a_is_category ? &other : &a,
                     1.0,
                     c.coef_b,
                     nullptr,
                     nullptr,
                     ws.offset_pool.data() + c.offsets_begin,
                     c.n_offsets};
}

SplitChoice evaluate_candidate(const PairCandidate& c, const NodeSearch& in,
                               const SearchWorkspace& ws, const ThreadScratch& first,
                               ThreadScratch& s) {
    const Booster& b = *in.booster;
    SplitChoice out;
    if (is_fast(c)) {
        const FastPair p = fast_pair(c, in, ws);
        evaluate_fast_pairs(&p, 1, *in.node, first.gh_f32.data(), b.reg_lambda, b.hist_bins, s,
                            &out);
    } else {
        const ExactPair p = exact_pair(c, in, ws);
        evaluate_exact_pairs(&p, 1, *in.node, b.reg_lambda, b.hist_bins, s, &out);
    }
    return out;
}

}  // namespace

SearchEnvironment SearchEnvironment::read() {
    SearchEnvironment env;
    env.axis_only = flag_set("VRL_AXIS");
    env.full = flag_set("VRL_FULL");
    const char* k = std::getenv("VRL_K");
    env.keep_top = k != nullptr ? std::atoi(k) : 0;
    env.dump_path = std::getenv("VRL_DUMP");
    return env;
}

int32_t dumped_node_count() { return g_dumped_nodes.load(); }

SplitChoice search_oblique_split(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                                 SearchWorkspace& ws) {
    const SearchEnvironment env = SearchEnvironment::read();
    std::vector<FeatureColumn>& cols = *in.columns;
    const NodeGradients& node = *in.node;
    const Booster& b = *in.booster;
    const int32_t c_count = static_cast<int32_t>(cols.size());
    const int32_t n = node.n;
    if (c_count < 2 || env.axis_only || n <= 0) return SplitChoice{};
    // Modes other than 0 and 2 search axis-aligned splits only, unless VRL_FULL is set.
    if (b.split_mode != 0 && b.split_mode != 2 && !env.full) return SplitChoice{};

    double hs = 0.0, r0 = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        hs += node.hess[k];
        r0 -= node.grad[k];
    }
    if (!(hs >= kTiny)) return SplitChoice{};

    const std::vector<bool>& has_missing = in.bins->has_missing;
    // One block of single-precision values per column, in scratch element 0.
    float* values = grow(scratch.empty() ? scratch.emplace_back().column_values
                                         : scratch[0].column_values,
                         cols.size() * static_cast<size_t>(n));
    for (size_t i = 0; i < cols.size(); ++i) {
        cols[i].values = values + i * static_cast<size_t>(n);
        cols[i].filled = false;
    }
    ws.moments.resize(cols.size());
    fill_columns(cols, has_missing, *in.X, in.rows, node, ws.moments.data());
    ws.column_order.resize(cols.size());
    for (size_t i = 0; i < cols.size(); ++i) ws.column_order[i] = &cols[i];

    const size_t threads = static_cast<size_t>(omp_get_max_threads());
    if (scratch.size() < threads) scratch.resize(threads);
    ThreadScratch& first = scratch[0];
    float* gh32 = grow(first.gh_f32, 2 * static_cast<size_t>(n));
    float* h32 = grow(first.hess_f32, n);
    for (int32_t k = 0; k < n; ++k) {
        gh32[2 * k] = static_cast<float>(node.grad[k]);
        gh32[2 * k + 1] = static_cast<float>(node.hess[k]);
        h32[k] = gh32[2 * k + 1];
    }

    const bool capped = !(b.split_mode == 2 || env.full);
    const size_t cap = 4 * static_cast<size_t>(c_count);
    const bool screening = capped && in.depth <= 1;
    const PairConfig config = pair_config(b);

    // Propose a direction for every pair of columns. Each pair is solved on its own (in
    // parallel when there are many), then the candidates are listed in pair order.
    const int64_t n_pairs = static_cast<int64_t>(c_count) * (c_count - 1) / 2;
    ws.pairs.resize(static_cast<size_t>(n_pairs));
    ws.directions.resize(static_cast<size_t>(n_pairs));
    ws.pair_offsets.resize(static_cast<size_t>(n_pairs) * kMaxPairCategories);
    for (int32_t pa = 0, p = 0; pa + 1 < c_count; ++pa) {
        for (int32_t pb = pa + 1; pb < c_count; ++pb) ws.pairs[p++] = {pa, pb};
    }
    // Cross moments of the pairs without missing values, in blocks of rows that stay in
    // cache while every pair of a thread's run reads them.
    ws.cross_lanes.assign(static_cast<size_t>(n_pairs) * kCrossLanes, 0.0f);
    ws.cross.resize(static_cast<size_t>(n_pairs));
    parallel_blocks(n_pairs, n_pairs > kParallelCandidates, [&](int64_t p0, int64_t p1) {
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
                cross_moment_lanes_shared(cols[shared_a].values, xb, h32, k0, k1, lanes);
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
    // Sums of the missing-aware pairs that the ridge fit takes (neither or both columns
    // categorical), a lane per pair.
    auto ridge_with_missing = [&](int64_t p) {
        const auto [pa, pb] = ws.pairs[p];
        const int32_t fa = cols[pa].feature, fb = cols[pb].feature;
        return (has_missing[fa] || has_missing[fb]) &&
               config.is_categorical(fa) == config.is_categorical(fb);
    };
    lane_sums(in, scratch, ws, c_count, config, ridge_with_missing);
    parallel_for(n_pairs, n_pairs > kParallelCandidates, [&](int64_t p) {
        const auto [pa, pb] = ws.pairs[p];
        const bool missing_aware = has_missing[cols[pa].feature] || has_missing[cols[pb].feature];
        const int32_t slot = ws.category_slot.empty()
                                 ? -1
                                 : (config.is_categorical(cols[pa].feature)
                                        ? ws.category_slot[static_cast<size_t>(pa) * c_count + pb]
                                        : ws.category_slot[static_cast<size_t>(pb) * c_count + pa]);
        ws.directions[p] = pair_direction(
            cols[pa], cols[pb], node, h32, config, missing_aware, hs, r0, ws.moments[pa],
            ws.moments[pb], ws.pair_offsets.data() + p * kMaxPairCategories, &ws.cross[p],
            ridge_with_missing(p) ? &ws.missing_sums[p] : nullptr,
            slot >= 0 ? &ws.category_sums[slot] : nullptr);
    });
    std::vector<PairCandidate>& candidates = ws.candidates;
    candidates.clear();
    ws.offset_pool.clear();
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
        const double* offsets = ws.pair_offsets.data() + p * kMaxPairCategories;
        ws.offset_pool.insert(ws.offset_pool.end(), offsets, offsets + d.n_offsets);
        candidates.push_back(c);
    }

    // Reduce to the most promising pairs.
    if (capped && candidates.size() > cap) {
        if (screening) {
            // Candidates that share their first column and whose second columns lie within
            // kScreenLanes neighbouring columns are screened together, a lane per column.
            ws.groups.clear();
            ws.group_lane_b.clear();
            for (size_t i = 0; i < candidates.size(); ++i) {
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
                    ws.group_inv[g * kScreenLanes + j] =
                        1.0 / (config.scale(fb) * config.scale(fa));
                }
            }
            // Each thread takes every T-th group and walks the rows in blocks, copied side by
            // side in double precision, that stay in cache while every group of the thread
            // reads them.
            ws.screen_sums.assign(static_cast<size_t>(n_groups), ScreenSums{});
            parallel_interleaved(
                n_groups, static_cast<int64_t>(candidates.size()) > kParallelCandidates,
                [&](int64_t first_group, int64_t step) {
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
                                screen_block(block, pos_a, ws.group_lane_b[g], inv, node,
                                             ws.screen_sums[g]);
                            }
                        }
                    }
                    for (int64_t g = first_group; g < n_groups; g += step) {
                        // Pairs without missing values count every row: their hessian and
                        // gradient totals are the node's, summed in the same row order.
                        if (group_complete(candidates, ws.groups, g, cols, has_missing)) {
                            std::fill(std::begin(ws.screen_sums[g].hz),
                                      std::end(ws.screen_sums[g].hz), hs);
                            std::fill(std::begin(ws.screen_sums[g].rz),
                                      std::end(ws.screen_sums[g].rz), r0);
                        }
                        for (int32_t i = ws.groups[g]; i < ws.groups[g + 1]; ++i) {
                            candidates[i].screen_score =
                                screen_result(ws.screen_sums[g],
                                              candidates[i].pos_b - ws.group_lane_b[g],
                                              config.lambda);
                        }
                    }
                });
            keep_screened(candidates, std::max<size_t>(1, cap / 2), ws);
        } else {
            keep_top(candidates, cap, ws.order, ws.kept,
                     [](const PairCandidate& c) { return c.prescore; });
        }
    }
    if (env.keep_top > 0 && static_cast<size_t>(env.keep_top) < candidates.size()) {
        keep_top(candidates, static_cast<size_t>(env.keep_top), ws.order, ws.kept,
                 [](const PairCandidate& c) { return c.prescore; });
    }

    // Evaluate the kept pairs.
    const int64_t m = static_cast<int64_t>(candidates.size());
    SplitChoice best;
    int32_t best_candidate = -1;
    std::FILE* dump = nullptr;
    if (env.dump_path != nullptr && g_dumped_nodes.load() < kMaxDumpedNodes && n >= kMinDumpRows) {
        dump = std::fopen(env.dump_path, "a");
    }
    if (dump != nullptr) {
        std::fprintf(dump, "#NODE %d %d\n", n, static_cast<int>(m));
        g_dumped_nodes.fetch_add(1);
        for (int64_t i = 0; i < m; ++i) {
            const SplitChoice r = evaluate_candidate(candidates[i], in, ws, first, first);
            std::fprintf(dump, "%.8g,%.8g\n", candidates[i].prescore, r.gain);
            if (r.beats(best)) {
                best = r;
                best_candidate = static_cast<int32_t>(i);
            }
        }
        std::fclose(dump);
    } else {
        ws.thread_best.assign(threads, SplitChoice{});
        ws.thread_best_candidate.assign(threads, -1);
        // Each thread takes every T-th candidate: the costly exact ones are shared evenly.
        parallel_interleaved(m, m > kParallelCandidates, [&](int64_t first_candidate, int64_t step) {
            const int t = omp_get_thread_num();
            SplitChoice& local = ws.thread_best[t];
            auto consider = [&](const SplitChoice& r, int64_t i) {
                if (r.beats(local)) {
                    local = r;
                    ws.thread_best_candidate[t] = static_cast<int32_t>(i);
                }
            };
            // The single-precision candidates are evaluated together, block by block of
            // rows; the others one at a time.
            ThreadScratch& s = scratch[t];
            s.fast_pairs.clear();
            s.fast_index.clear();
            s.exact_pairs.clear();
            s.exact_index.clear();
            for (int64_t i = first_candidate; i < m; i += step) {
                if (is_fast(candidates[i])) {
                    s.fast_pairs.push_back(fast_pair(candidates[i], in, ws));
                    s.fast_index.push_back(static_cast<int32_t>(i));
                } else {
                    s.exact_pairs.push_back(exact_pair(candidates[i], in, ws));
                    s.exact_index.push_back(static_cast<int32_t>(i));
                }
            }
            const auto n_fast = static_cast<int32_t>(s.fast_pairs.size());
            SplitChoice* fast_out = grow(s.fast_out, static_cast<size_t>(n_fast));
            evaluate_fast_pairs(s.fast_pairs.data(), n_fast, node, first.gh_f32.data(),
                                b.reg_lambda, b.hist_bins, s, fast_out);
            for (int32_t j = 0; j < n_fast; ++j) consider(fast_out[j], s.fast_index[j]);
            const auto n_exact = static_cast<int32_t>(s.exact_pairs.size());
            SplitChoice* exact_out = grow(s.exact_out, static_cast<size_t>(n_exact));
            evaluate_exact_pairs(s.exact_pairs.data(), n_exact, node, b.reg_lambda, b.hist_bins, s,
                                 exact_out);
            for (int32_t j = 0; j < n_exact; ++j) consider(exact_out[j], s.exact_index[j]);
        });
        // The merge order is total on (gain, feature_a, feature_b): the thread count never
        // changes the outcome.
        for (size_t t = 0; t < threads; ++t) {
            if (ws.thread_best[t].beats(best)) {
                best = ws.thread_best[t];
                best_candidate = ws.thread_best_candidate[t];
            }
        }
    }
    if (best.kind == kCategoryPair && best_candidate >= 0) {
        const PairCandidate& c = candidates[best_candidate];
        best.category_values.assign(ws.offset_pool.begin() + c.offsets_begin,
                                    ws.offset_pool.begin() + c.offsets_begin + c.n_offsets);
    }
    return best;
}

SplitChoice search_axis_split(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                              SearchWorkspace& ws) {
    std::vector<FeatureColumn>& cols = *in.columns;
    const NodeGradients& node = *in.node;
    const BinnedMatrix& bins = *in.bins;
    const int64_t c_count = static_cast<int64_t>(cols.size());
    const size_t threads = static_cast<size_t>(omp_get_max_threads());
    if (scratch.size() < threads) scratch.resize(threads);

    ThreadScratch& first = scratch[0];
    int32_t* offsets = grow(first.bin_offsets, cols.size() + 1);
    offsets[0] = 0;
    for (int64_t i = 0; i < c_count; ++i) {
        offsets[i + 1] = offsets[i] + static_cast<int32_t>(bins.bin_low[cols[i].feature].size());
    }
    double* cells = grow(first.bin_hist, 2 * static_cast<size_t>(offsets[c_count]));

    // Columns are split into contiguous groups, one per thread, and each group's histograms
    // accumulate over the rows in order; then each column's best cut on its own, and the
    // first column with the largest gain wins. That is the cut one scan over all columns
    // with a shared running best finds, whatever the number of threads.
    ws.column_cuts.assign(cols.size(), BinCut{});
    const bool parallel = c_count > 1 && c_count * node.n > kParallelMomentCells;
    parallel_blocks(c_count, parallel, [&](int64_t c0, int64_t c1) {
        bins.with_codes([&](const auto* codes) {
            build_bin_histograms(cols, c0, c1, offsets, in.X->n_cols, codes, in.rows, node, cells);
        });
        ThreadScratch& s = scratch[omp_get_thread_num()];
        for (int64_t i = c0; i < c1; ++i) {
            const int32_t f = cols[i].feature;
            best_bin_cut(f, cells + 2 * offsets[i], bins.bin_low[f], bins.bin_high[f],
                         bins.has_missing[f], node, in.booster->reg_lambda, s,
                         ws.column_cuts[i]);
        }
    });
    BinCut best;
    for (const BinCut& cut : ws.column_cuts) {
        if (cut.gain > best.gain) best = cut;
    }
    SplitChoice out;
    if (best.feature < 0) return out;
    out.gain = best.gain;
    out.kind = kAxis;
    out.feature_a = best.feature;
    out.threshold = best.threshold;
    out.missing_right = 1;
    return out;
}

}  // namespace vorlent
