#include "tree/split_search.hpp"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "decide/screening.hpp"
#include "tree/candidate_selection.hpp"
#include "tree/column_values.hpp"
#include "tree/pair_evaluation.hpp"
#include "tree/pair_proposal.hpp"

namespace vorlent {
namespace {

constexpr int32_t kMaxDumpedNodes = 500;
constexpr int32_t kMinDumpRows = 20;

std::atomic<int32_t> g_dumped_nodes{0};


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
    const bool a_is_category = in.params->pair_config().is_categorical(a.feature);
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
    const TreeParams& params = *in.params;
    SplitChoice out;
    if (is_fast(c)) {
        const FastPair p = fast_pair(c, in, ws);
        evaluate_fast_pairs(&p, 1, *in.node, first.gh_f32.data(), params.reg_lambda,
                            params.hist_bins, s, &out);
    } else {
        const ExactPair p = exact_pair(c, in, ws);
        evaluate_exact_pairs(&p, 1, *in.node, params.reg_lambda, params.hist_bins, s, &out);
    }
    return out;
}


// The best of ws.candidates, with its category offsets attached; each candidate is
// evaluated on its own, so the outcome does not depend on which others are evaluated with
// it. With `dump`, every candidate's prescore and gain are written to it, in order.
SplitChoice evaluate_candidates(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                                SearchWorkspace& ws, std::FILE* dump) {
    const TreeParams& params = *in.params;
    const NodeGradients& node = *in.node;
    const std::vector<PairCandidate>& candidates = ws.candidates;
    const int64_t m = static_cast<int64_t>(candidates.size());
    const size_t threads = static_cast<size_t>(omp_get_max_threads());
    ThreadScratch& first = scratch[0];
    SplitChoice best;
    int32_t best_candidate = -1;
    if (dump != nullptr) {
        for (int64_t i = 0; i < m; ++i) {
            const SplitChoice r = evaluate_candidate(candidates[i], in, ws, first, first);
            std::fprintf(dump, "%.8g,%.8g\n", candidates[i].prescore, r.gain);
            if (r.beats(best)) {
                best = r;
                best_candidate = static_cast<int32_t>(i);
            }
        }
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
                                params.reg_lambda, params.hist_bins, s, fast_out);
            for (int32_t j = 0; j < n_fast; ++j) consider(fast_out[j], s.fast_index[j]);
            const auto n_exact = static_cast<int32_t>(s.exact_pairs.size());
            SplitChoice* exact_out = grow(s.exact_out, static_cast<size_t>(n_exact));
            evaluate_exact_pairs(s.exact_pairs.data(), n_exact, node, params.reg_lambda,
                                 params.hist_bins, s, exact_out);
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

}  // namespace

int32_t dumped_node_count() { return g_dumped_nodes.load(); }

namespace {

// The sums of the node's hessians and negative gradients, in row order.
struct NodeSums {
    double hs = 0.0;
    double r0 = 0.0;
};

NodeSums node_sums(const NodeGradients& node) {
    NodeSums s;
    for (int32_t k = 0; k < node.n; ++k) {
        s.hs += node.hess[k];
        s.r0 -= node.grad[k];
    }
    return s;
}

// Phase 1, column statistics: every column's node values in single precision (one block
// per column in scratch element 0) and their moments, the node's gradients and hessians in
// single precision, and every categorical column's largest code. Returns the hessians.
const float* column_statistics(const NodeSearch& in, const PairConfig& config,
                               std::vector<ThreadScratch>& scratch, SearchWorkspace& ws) {
    std::vector<FeatureColumn>& cols = *in.columns;
    const NodeGradients& node = *in.node;
    const int32_t n = node.n;
    float* values = grow(scratch.empty() ? scratch.emplace_back().column_values
                                         : scratch[0].column_values,
                         cols.size() * static_cast<size_t>(n));
    for (size_t i = 0; i < cols.size(); ++i) {
        cols[i].values = values + i * static_cast<size_t>(n);
        cols[i].filled = false;
    }
    ws.moments.resize(cols.size());
    fill_columns(cols, in.bins->has_missing, *in.X, in.rows, node, ws.moments.data());
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

    ws.category_top.assign(cols.size(), 0);
    for (size_t c = 0; c < cols.size(); ++c) {
        if (config.is_categorical(cols[c].feature)) ws.category_top[c] = largest_code(cols[c], n);
    }
    return h32;
}

// The node's cut-down of its candidates. The cap keeps 4 candidates per column, screened
// near the root (at every depth when the columns were ranked); without the cap, VRL_K
// alone limits them.
Selection node_selection(const NodeSearch& in, bool capped) {
    const size_t c_count = in.columns->size();
    Selection sel;
    sel.keep =
        capped ? capped_keep(c_count) : static_cast<size_t>(std::max(in.params->env.keep_top, 0));
    sel.screening = capped && screens_candidates(in.depth, in.ranked);
    return sel;
}

// The file that VRL_DUMP names, opened to append this node's candidates, while fewer than
// kMaxDumpedNodes nodes have been dumped and the node has kMinDumpRows rows; else null.
std::FILE* open_dump(const SearchEnvironment& env, int32_t n) {
    if (env.dump_path.empty() || g_dumped_nodes.load() >= kMaxDumpedNodes || n < kMinDumpRows) {
        return nullptr;
    }
    return std::fopen(env.dump_path.c_str(), "a");
}

// Phase 2, proposal: a direction for every pair of columns, run by run of whole first
// columns. When streaming (no limit), every run's candidates are evaluated as they are
// proposed, and the best of them is returned; otherwise the candidates are cut down
// whenever they outgrow the limit by a run, and an empty choice is returned.
SplitChoice propose_candidates(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                               SearchWorkspace& ws, const NodePairs& np, const Selection& sel,
                               bool stream) {
    const int32_t c_count = static_cast<int32_t>(in.columns->size());
    const size_t cut_above = std::max<size_t>(2 * sel.keep, static_cast<size_t>(ws.pair_batch));
    ws.candidates.clear();
    ws.offset_pool.clear();
    ws.proposed = 0;
    ws.screened = 0;
    SplitChoice best;
    for (int32_t a0 = 0; a0 + 1 < c_count;) {
        const int32_t a1 = pair_run_end(a0, c_count, ws.pair_batch);
        propose_pairs(in, scratch, ws, np, a0, a1);
        a0 = a1;
        if (stream) {
            SplitChoice r = evaluate_candidates(in, scratch, ws, nullptr);
            if (r.beats(best)) best = std::move(r);
            ws.candidates.clear();
            ws.offset_pool.clear();
        } else if (sel.keep > 0 && ws.candidates.size() > cut_above) {
            select_candidates(in, scratch, ws, np, sel);
        }
    }
    return best;
}

// Phase 3, selection: the proposed candidates cut down to the limit (by screening or by
// prescore), then to the `keep_top` best by prescore when it is positive (VRL_K).
void select_final(const NodeSearch& in, std::vector<ThreadScratch>& scratch, SearchWorkspace& ws,
                  const NodePairs& np, const Selection& sel, int32_t keep_top_count) {
    if (sel.keep > 0 && static_cast<size_t>(ws.proposed) > sel.keep) {
        select_candidates(in, scratch, ws, np, sel);
    }
    if (keep_top_count > 0 && static_cast<size_t>(keep_top_count) < ws.candidates.size()) {
        keep_best_prescores(ws, static_cast<size_t>(keep_top_count));
    }
}

// Phase 4, evaluation: the best of the kept candidates, each evaluated exactly; with
// `dump`, their prescores and gains are appended to it under a node header, and it is
// closed.
SplitChoice evaluate_kept(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                          SearchWorkspace& ws, std::FILE* dump) {
    if (dump == nullptr) return evaluate_candidates(in, scratch, ws, nullptr);
    std::fprintf(dump, "#NODE %d %d\n", in.node->n, static_cast<int>(ws.candidates.size()));
    g_dumped_nodes.fetch_add(1);
    SplitChoice best = evaluate_candidates(in, scratch, ws, dump);
    std::fclose(dump);
    return best;
}

}  // namespace

SplitChoice search_oblique_split(const NodeSearch& in, std::vector<ThreadScratch>& scratch,
                                 SearchWorkspace& ws) {
    const TreeParams& params = *in.params;
    const SearchEnvironment& env = params.env;
    const int32_t n = in.node->n;
    if (in.columns->size() < 2 || env.axis_only || n <= 0) return SplitChoice{};
    // Modes other than 0 and 2 search axis-aligned splits only, unless VRL_FULL is set.
    const bool oblique = params.split_mode == kCappedOblique || params.split_mode == kFullOblique;
    if (!oblique && !env.full) return SplitChoice{};
    const NodeSums sums = node_sums(*in.node);
    if (!(sums.hs >= kTiny)) return SplitChoice{};

    const PairConfig config = params.pair_config();
    const float* h32 = column_statistics(in, config, scratch, ws);
    const NodePairs np{h32, sums.hs, sums.r0, config, &in.bins->has_missing};

    const bool capped = !(params.split_mode == kFullOblique || env.full);
    const Selection sel = node_selection(in, capped);
    std::FILE* dump = open_dump(env, n);
    // Without a limit every candidate is evaluated as its run is proposed; with one, the
    // candidates are cut down whenever they outgrow it by a run, and at the end.
    const bool stream = sel.keep == 0 && dump == nullptr;
    SplitChoice best = propose_candidates(in, scratch, ws, np, sel, stream);
    if (stream) return best;
    select_final(in, scratch, ws, np, sel, capped ? env.keep_top : 0);
    return evaluate_kept(in, scratch, ws, dump);
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
    const bool summed = in.bin_cells != nullptr;
    const int32_t* offsets = in.bin_offsets;
    const double* cells = in.bin_cells;
    if (!summed) {
        int32_t* own_offsets = grow(first.bin_offsets, cols.size() + 1);
        own_offsets[0] = 0;
        for (int64_t i = 0; i < c_count; ++i) {
            own_offsets[i + 1] =
                own_offsets[i] + static_cast<int32_t>(bins.bin_low[cols[i].feature].size());
        }
        offsets = own_offsets;
        cells = grow(first.bin_hist, 2 * static_cast<size_t>(offsets[c_count]));
    }

    // Columns are split into contiguous groups, one per thread, and each group's histograms
    // accumulate over the rows in order; then each column's best cut on its own, and the
    // first column with the largest gain wins. That is the cut one scan over all columns
    // with a shared running best finds, whatever the number of threads.
    ws.column_cuts.assign(cols.size(), BinCut{});
    const bool parallel = c_count > 1 && c_count * node.n > kParallelMomentCells;
    parallel_blocks(c_count, parallel, [&](int64_t c0, int64_t c1) {
        if (!summed) {
            bins.with_codes([&](const auto* codes) {
                build_bin_histograms(cols, c0, c1, offsets, in.X->n_cols, codes, in.rows, node,
                                     first.bin_hist.data());
            });
        }
        ThreadScratch& s = scratch[omp_get_thread_num()];
        for (int64_t i = c0; i < c1; ++i) {
            const int32_t f = cols[i].feature;
            const double* column = cells + 2 * offsets[i];
            const AxisBins bins_f{&bins.bin_low[f], &bins.bin_high[f], bins.has_missing[f] != 0};
            best_axis_cut<InfiniteTopCut::kOffered>(
                f, DoubleCells{column, column + 1, 2, node.G, node.H}, bins_f,
                in.params->reg_lambda, in.params->learn_missing,
                grow(s.nonempty_bins, bins.bin_low[f].size()), ws.column_cuts[i]);
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
    out.missing_right = best.missing_right;
    return out;
}

}  // namespace vorlent
