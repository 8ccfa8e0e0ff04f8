#include "exact/level_stats.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "common/parallel.hpp"
#include "exact/counter_random.hpp"
#include "exact/lineage_stats.hpp"
#include "exact/pair_moments.hpp"
#include "exact/projection_stats.hpp"
#include "exact/screen_sums.hpp"
#include "model/routing.hpp"
#include "tree/scratch.hpp"

namespace vorlent {
namespace {

// The node sums and bin cells of the bag rows [i0, i1) that belong to requested nodes.
template <class Code>
void histogram_rows(const Code* codes, int32_t n_features, const int32_t* offsets,
                    const ShardTree& st, int64_t i0, int64_t i1, int32_t k,
                    const StatsRequest& request, int64_t words, int64_t* blocks) {
    const int32_t* bag = st.bag.data();
    const int32_t* node = st.node.data();
    const int32_t* target = st.target.data();
    const auto ids = static_cast<uint32_t>(st.target.size());
    const int64_t* qg = st.qg.data();
    const int64_t* qh = st.qh.data();
    for (int64_t i = i0; i < i1; ++i) {
        if (static_cast<uint32_t>(node[i]) >= ids) continue;
        const int32_t t = target[node[i]];
        if (t < 0) continue;
        int64_t g, h;
        if (k == 1) {
            g = qg[i];
            h = qh[i];
        } else {
            const int64_t p = i * k + request.first_output[t];
            const int64_t q = i * k + request.second_output[t];
            g = qg[p] - qg[q];
            h = qh[p] + qh[q];
        }
        int64_t* cells = blocks + t * words + kNodeWords;
        const Code* row = codes + static_cast<int64_t>(bag[i]) * n_features;
        for (int32_t f = 0; f < n_features; ++f) {
            int64_t* cell = cells + kCellWords * (offsets[f] + static_cast<int32_t>(row[f]));
            cell[0] += g;
            cell[1] += h;
            cell[2] += 1;
        }
    }
}

// Every row lies in one bin of each feature, so a node's count and sums are those of its
// first feature's cells; taking them there keeps three more additions per row out of the
// histogram pass. (A table without features has no rows to sum either way.)
void node_sums_from_cells(int64_t* blocks, int64_t n_blocks, int64_t words,
                          const HistogramShape& shape) {
    if (shape.n_features == 0) return;
    for (int64_t t = 0; t < n_blocks; ++t) {
        int64_t* block = blocks + t * words;
        const int64_t* cells = block + kNodeWords;
        block[0] = block[1] = block[2] = 0;
        for (int32_t b = 0; b < shape.bin_offset[1]; ++b) {
            block[1] += cells[kCellWords * b];
            block[2] += cells[kCellWords * b + 1];
            block[0] += cells[kCellWords * b + 2];
        }
    }
}

void output_rows(const ShardTree& st, int64_t i0, int64_t i1, int32_t k, int64_t words,
                 int64_t* blocks) {
    for (int64_t i = i0; i < i1; ++i) {
        if (static_cast<size_t>(st.node[i]) >= st.target.size()) continue;
        const int32_t t = st.target[st.node[i]];
        if (t < 0) continue;
        int64_t* block = blocks + t * words;
        block[0] += 1;
        for (int32_t j = 0; j < k; ++j) {
            block[1 + 2 * j] += st.qg[i * k + j];
            block[2 + 2 * j] += st.qh[i * k + j];
        }
    }
}

}  // namespace

int64_t block_words(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs) {
    if (item_kind(request.kind)) return 0;
    if (request.kind == kLineageMoments) return lineage_block_words(request.lineage->slots);
    return request.kind == kOutputSums ? 1 + 2 * int64_t{n_outputs} : shape.node_words();
}

// The words of every item of a request of a kind of items.
int64_t items_words(const StatsRequest& request) {
    int64_t words = 0;
    if (pair_kind(request.kind)) {
        words += pair_items_words(request.pairs);
        if (request.kind == kScreenedPairMoments) words += screen_words(request);
    } else {
        words = static_cast<int64_t>(request.projections.size()) *
                projection_item_words(request.kind, request.projection_bins);
    }
    return words;
}

int64_t buffer_words(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs) {
    if (item_kind(request.kind)) return kStatsHeader + items_words(request);
    return kStatsHeader +
           static_cast<int64_t>(request.nodes.size()) * block_words(request, shape, n_outputs);
}

std::vector<int64_t> empty_stats(const StatsRequest& request, const HistogramShape& shape,
                                 int32_t n_outputs) {
    std::vector<int64_t> out;
    reset_stats(request, shape, n_outputs, out);
    return out;
}

void reset_stats(const StatsRequest& request, const HistogramShape& shape, int32_t n_outputs,
                 std::vector<int64_t>& out) {
    out.assign(static_cast<size_t>(buffer_words(request, shape, n_outputs)), 0);
    out[0] = kStatsVersion;
    out[1] = request.kind;
    out[2] = static_cast<int64_t>(request.nodes.size());
    out[3] = block_words(request, shape, n_outputs);
    out[4] = n_outputs;
    out[5] = shape.bin_offset.back();
    if (!item_kind(request.kind)) return;
    out[6] = static_cast<int64_t>(pair_kind(request.kind) ? request.pairs.size()
                                                          : request.projections.size());
    out[7] = static_cast<int64_t>(out.size()) - kStatsHeader;
    if (!pair_kind(request.kind)) init_projection_words(request, out.data() + kStatsHeader);
}

RoundSummary begin_tree(const ShardRows& shard, uint64_t bag_key, double subsample,
                        const double* grad, const double* hess, int32_t n_outputs, ShardTree& st) {
    st.bag.clear();
    for (int64_t i = 0; i < shard.n; ++i) {
        const int32_t r = shard.rows[i];
        const int64_t global = shard.global_ids != nullptr ? shard.global_ids[r] : r;
        if (in_bag(bag_key, global, subsample)) st.bag.push_back(r);
    }
    st.node.assign(st.bag.size(), 0);
    RoundSummary s;
    s.bag_rows = static_cast<int64_t>(st.bag.size());
    const int64_t k = n_outputs;
    for (const int32_t r : st.bag) {
        for (int64_t j = 0; j < k; ++j) {
            const double g = grad[r * k + j], h = hess[r * k + j];
            if (!std::isfinite(g) || !std::isfinite(h)) {
                ++s.nonfinite;
                continue;
            }
            s.max_abs_grad = std::max(s.max_abs_grad, std::fabs(g));
            s.max_hess = std::max(s.max_hess, std::fabs(h));
        }
    }
    return s;
}

void fix_gradients(const ShardRows& shard, const double* grad, const double* hess,
                   int32_t n_outputs, const RoundGrids& grids, ShardTree& st) {
    (void)shard;
    const int64_t k = n_outputs;
    const int64_t n = static_cast<int64_t>(st.bag.size());
    st.qg.resize(static_cast<size_t>(n * k));
    st.qh.resize(static_cast<size_t>(n * k));
    parallel_blocks(n, n > kParallelBagRows, [&](int64_t i0, int64_t i1) {
        for (int64_t i = i0; i < i1; ++i) {
            const int64_t r = st.bag[i];
            for (int64_t j = 0; j < k; ++j) {
                st.qg[i * k + j] = grids.grad.fixed(grad[r * k + j]);
                st.qh[i * k + j] = grids.hess.fixed(hess[r * k + j]);
            }
        }
    });
}

void shard_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                 const HistogramShape& shape, int32_t n_outputs, std::vector<int64_t>& out) {
    reset_stats(request, shape, n_outputs, out);
    if (request.kind == kPairMoments) {
        pair_moment_stats(shard, st, request, n_outputs, out);
        return;
    }
    if (request.kind == kScreenedPairMoments) {
        screened_pair_stats(shard, st, request, n_outputs, out);
        return;
    }
    if (item_kind(request.kind)) {
        projection_stats(shard, st, request, n_outputs, out);
        return;
    }
    const int64_t words = block_words(request, shape, n_outputs);
    const int64_t n_blocks = static_cast<int64_t>(request.nodes.size());
    const int64_t all_words = n_blocks * words;
    if (n_blocks == 0) return;
    mark_targets(request, st);

    const int64_t n = static_cast<int64_t>(st.bag.size());
    // Lineage moments cost a pass over every pair of candidates per row.
    const int64_t row_cost =
        request.kind == kLineageMoments ? 1 + lineage_pairs(request.lineage->slots) / 8 : 1;
    const bool parallel = n * row_cost > kParallelBagRows && omp_get_max_threads() > 1;
    const int64_t threads = parallel ? omp_get_max_threads() : 1;
    int64_t* scratch = grow(st.scratch, static_cast<size_t>(threads * all_words));
    std::fill(scratch, scratch + threads * all_words, 0);
    const int32_t* offsets = shape.bin_offset.data();
    parallel_blocks(n, parallel, [&](int64_t i0, int64_t i1) {
        int64_t* blocks = scratch + omp_get_thread_num() * all_words;
        if (request.kind == kOutputSums) {
            output_rows(st, i0, i1, n_outputs, words, blocks);
            return;
        }
        if (request.kind == kLineageMoments) {
            std::vector<double> values;
            std::vector<int64_t> fixed;
            lineage_moment_rows(shard, st, *request.lineage, i0, i1, words, blocks, values, fixed);
            return;
        }
        shard.bins->with_codes([&](const auto* codes) {
            histogram_rows(codes, shape.n_features, offsets, st, i0, i1, n_outputs, request, words,
                           blocks);
        });
    });
    for (int64_t t = 0; t < threads; ++t) {
        add_words(out.data() + kStatsHeader, scratch + t * all_words, all_words);
    }
    if (request.kind == kBinHistograms)
        node_sums_from_cells(out.data() + kStatsHeader, n_blocks, words, shape);
}

RouteRule route_rule(int32_t node, int32_t left, int32_t right, const Node& test,
                     const BinnedMatrix& bins) {
    RouteRule rule;
    rule.node = node;
    rule.left = left;
    rule.right = right;
    rule.test = test;
    // Every training value of a bin lies in [bin_low, bin_high], so a bin whose largest value
    // is below the threshold goes left and one whose smallest is at least the threshold goes
    // right. A cut between two bins lies between their extremes, so no bin straddles it and
    // no row needs its value read (the edges would leave the bin below the cut straddling
    // whenever the cut lies below its upper edge). The missing bin goes the way missing
    // values go.
    const int32_t f = test.feature_a;
    const std::vector<double>& low = bins.bin_low[f];
    const std::vector<double>& high = bins.bin_high[f];
    const auto n_bins = static_cast<int64_t>(low.size());
    const int64_t missing_bin = bins.has_missing[f] ? n_bins - 1 : -1;
    const double t = test.threshold;
    rule.bin_side.resize(static_cast<size_t>(n_bins));
    for (int64_t b = 0; b < n_bins; ++b) {
        uint8_t side = kEitherSide;
        if (high[b] < t) side = 0;
        if (low[b] >= t) side = 1;
        rule.bin_side[b] = b == missing_bin ? (test.missing_right != 0 ? 1 : 0) : side;
    }
    return rule;
}

void route_rows(const ShardRows& shard, ShardTree& st, const std::vector<RouteRule>& rules,
                const std::vector<int32_t>& rule_of) {
    const RowView& X = shard.X;
    const BinnedMatrix& bins = *shard.bins;
    const int64_t n = static_cast<int64_t>(st.bag.size());
    const int64_t stride = static_cast<int64_t>(bins.bin_low.size());
    const Directions none;
    // Per node id, what the row loop reads of its rule, side by side.
    struct Move {
        const uint8_t* side = nullptr;            // null: the test reads the values
        const Node* test = nullptr;               // null: the node does not split
        const Directions* projections = nullptr;  // a projection test's direction
        int64_t feature = 0;
        int32_t left = -1;
        int32_t right = -1;
    };
    std::vector<Move> moves(rule_of.size());
    for (size_t id = 0; id < rule_of.size(); ++id) {
        if (rule_of[id] < 0) continue;
        const RouteRule& rule = rules[rule_of[id]];
        const uint8_t* side = rule.bin_side.empty() ? nullptr : rule.bin_side.data();
        const Directions* projection = rule.projection.empty() ? &none : &rule.projection;
        moves[id] = Move{side, &rule.test, projection, rule.test.feature_a, rule.left, rule.right};
    }
    const auto ids = static_cast<uint32_t>(moves.size());
    parallel_blocks(n, n > kParallelBagRows, [&](int64_t i0, int64_t i1) {
        bins.with_codes([&](const auto* codes) {
            for (int64_t i = i0; i < i1; ++i) {
                const auto at = static_cast<uint32_t>(st.node[i]);
                if (at >= ids || moves[at].test == nullptr) continue;
                const Move& m = moves[at];
                const int64_t r = st.bag[i];
                uint8_t side =
                    m.side != nullptr ? m.side[codes[r * stride + m.feature]] : kEitherSide;
                if (side == kEitherSide) {
                    side = goes_right(*m.test, X.row(r), *m.projections) ? 1 : 0;
                }
                st.node[i] = side != 0 ? m.right : m.left;
            }
        });
    });
}

}  // namespace vorlent
