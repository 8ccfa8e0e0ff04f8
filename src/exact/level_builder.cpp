#include "exact/level_builder.hpp"

#include <algorithm>

#include "common/numeric.hpp"
#include "common/parallel.hpp"
#include "decide/monotone.hpp"
#include "decide/newton.hpp"
#include "decide/output_pair.hpp"
#include "decide/pair_or_axis.hpp"
#include "decide/screening.hpp"
#include "exact/counter_random.hpp"
#include "exact/oblique_decision.hpp"
#include "exact/pair_moments.hpp"
#include "exact/projection_stats.hpp"
#include "exact/screen_sums.hpp"
#include "exact/screening_decision.hpp"

namespace vorlent {
namespace {

// A node while the tree grows.
struct BuildNode {
    int32_t depth = 0;
    int32_t parent = -1;
    int32_t sibling = -1;
    uint64_t key = 0;   // column-sample key: a function of the node's position
    NodeTotals totals;  // reduced gradients for several outputs
    double lower = -kInf;
    double upper = kInf;
    int32_t p = 0;  // several outputs: the pair the node's gradients reduce to
    int32_t q = 0;
    int32_t left = -1;
    int32_t right = -1;
    int64_t hist = -1;  // offset of its histogram block in the level's store
    Node node;
};

bool same_pair(const BuildNode& a, const BuildNode& b) { return a.p == b.p && a.q == b.q; }

// What a splitting node of the level chose from: its sampled columns and, in the oblique
// modes, its best pair cut.
struct NodeChoice {
    std::vector<int32_t> features;
    ObliqueCut pair;
    Projection projection;  // the pair cut's direction
};

class LevelGrower {
public:
    LevelGrower(const ExactTreeConfig& config, std::vector<ShardSource>& shards, LevelWorkspace& ws)
        : c_(config),
          t_(*config.tree),
          shards_(shards),
          ws_(ws),
          shape_(HistogramShape::of(*config.bins)) {}

    ExactTree grow() {
        const int32_t k = t_.n_outputs;
        grids_ = begin_exact_tree(c_, shards_);
        settings_ = CutSettings{t_.reg_lambda, t_.learn_missing, c_.bins, grids_};

        nodes_.assign(1, BuildNode{});
        nodes_[0].key = tree_key(kColumnStream, c_.seed, c_.tree_index);
        std::vector<int32_t> level{0};
        ws_.parent_hist.clear();
        // A root that splits asks for its histograms right after its sums; with one output
        // that request does not depend on the sums (several pick their pair from them).
        if (k == 1 && t_.max_depth > 0) {
            const StatsRequest root = histogram_request(level);
            for (ShardSource& s : shards_) {
                if (s.expect) s.expect(root);
            }
        }
        while (!level.empty()) {
            read_sums(level);
            std::vector<int32_t> splitting;
            for (const int32_t id : level) {
                BuildNode& x = nodes_[id];
                x.node.value = k > 1 ? 0.0
                                     : exact_node_value(x.totals, grids_, t_.reg_lambda, x.lower,
                                                        x.upper);
                if (x.depth < t_.max_depth && x.totals.count >= t_.min_samples) {
                    splitting.push_back(id);
                }
            }
            histograms(splitting);
            sample_columns(splitting);
            if (oblique()) search_pairs(splitting);
            level = decide(splitting);
            ws_.parent_hist.swap(ws_.current_hist);
        }
        return depth_first_tree(nodes_, grids_);
    }

private:
    // Totals (and, for several outputs, the reduced pair and the leaf values) of the
    // level's nodes: from the rows for the root and for several outputs, else already set
    // by the parent's cut.
    void read_sums(const std::vector<int32_t>& level) {
        const int32_t k = t_.n_outputs;
        if (k == 1 && level.front() != 0) return;
        StatsRequest request;
        request.kind = kOutputSums;
        request.nodes = level;
        request.node_ids = static_cast<int32_t>(nodes_.size());
        gather_stats(shards_, request, shape_, k, ws_);
        const int64_t words = block_words(request, shape_, k);
        for (size_t t = 0; t < level.size(); ++t) {
            const int64_t* block = ws_.merged.data() + kStatsHeader + t * words;
            BuildNode& x = nodes_[level[t]];
            x.totals.count = block[0];
            if (k == 1) {
                x.totals.g = block[1];
                x.totals.h = block[2];
                continue;
            }
            // A kOutputSums block: the count, then G_j, H_j per output.
            const OutputPair outputs = output_pair(block + 1, k, 2);
            x.p = outputs.p;
            x.q = outputs.q;
            x.totals.g = block[1 + 2 * x.p] - block[1 + 2 * x.q];
            x.totals.h = block[2 + 2 * x.p] + block[2 + 2 * x.q];
            x.node.leaf_values.resize(static_cast<size_t>(k));
            for (int32_t j = 0; j < k; ++j) {
                x.node.leaf_values[j] = newton_value(grids_.grad.value(block[1 + 2 * j]),
                                                     grids_.hess.value(block[2 + 2 * j]),
                                                     t_.reg_lambda);
            }
        }
    }

    // Whether a splitting node's histograms can be its parent's minus its sibling's: it is
    // the larger child (the left one on equal counts is built) and, with several outputs,
    // it, its sibling and the parent reduce to the same pair.
    bool derived(const BuildNode& x, int32_t id) const {
        if (x.parent < 0) return false;
        const BuildNode& s = nodes_[x.sibling];
        const BuildNode& parent = nodes_[x.parent];
        const bool x_left = parent.left == id;
        const bool larger =
            x.totals.count > s.totals.count || (x.totals.count == s.totals.count && !x_left);
        return larger && (t_.n_outputs == 1 || (same_pair(x, parent) && same_pair(s, parent)));
    }

    // The request for the histograms the splitting nodes read from the rows: each node's
    // own, or its sibling's when it derives its own from them.
    StatsRequest histogram_request(const std::vector<int32_t>& splitting) const {
        StatsRequest request;
        request.kind = kBinHistograms;
        request.node_ids = static_cast<int32_t>(nodes_.size());
        for (const int32_t id : splitting) {
            const BuildNode& x = nodes_[id];
            request.nodes.push_back(derived(x, id) ? x.sibling : id);
        }
        std::sort(request.nodes.begin(), request.nodes.end());
        request.nodes.erase(std::unique(request.nodes.begin(), request.nodes.end()),
                            request.nodes.end());
        for (const int32_t id : request.nodes) {
            request.first_output.push_back(nodes_[id].p);
            request.second_output.push_back(nodes_[id].q);
        }
        return request;
    }

    // The histogram blocks of the splitting nodes into ws.current_hist.
    void histograms(const std::vector<int32_t>& splitting) {
        const int64_t words = shape_.node_words();
        const StatsRequest request = histogram_request(splitting);
        ws_.current_hist.clear();
        if (request.nodes.empty()) return;
        gather_stats(shards_, request, shape_, t_.n_outputs, ws_);
        ws_.current_hist.resize(static_cast<size_t>((request.nodes.size() + splitting.size()) *
                                                    static_cast<size_t>(words)));
        int64_t used = 0;
        for (size_t t = 0; t < request.nodes.size(); ++t) {
            const int64_t* block = ws_.merged.data() + kStatsHeader + t * words;
            std::copy(block, block + words, ws_.current_hist.begin() + used);
            nodes_[request.nodes[t]].hist = used;
            used += words;
        }
        for (const int32_t id : splitting) {
            BuildNode& x = nodes_[id];
            if (!derived(x, id)) continue;
            const int64_t* parent = ws_.parent_hist.data() + nodes_[x.parent].hist;
            const int64_t* sibling = ws_.current_hist.data() + nodes_[x.sibling].hist;
            int64_t* out = ws_.current_hist.data() + used;
            for (int64_t w = 0; w < words; ++w) out[w] = parent[w] - sibling[w];
            x.hist = used;
            used += words;
        }
    }

    bool oblique() const {
        return t_.split_mode == kCappedOblique || t_.split_mode == kFullOblique;
    }

    // Every splitting node's column sample, keyed by its position.
    void sample_columns(const std::vector<int32_t>& splitting) {
        choices_.resize(splitting.size());
        for (size_t i = 0; i < splitting.size(); ++i) {
            sample_node_columns(nodes_[splitting[i]].key, shape_.n_features, t_.colsample,
                                choices_[i].features, ws_.draws);
            choices_[i].pair = ObliqueCut{};
        }
    }

    // A request of a kind of items for the nodes that have items, in level order.
    StatsRequest item_request(StatsKind kind, const std::vector<int32_t>& splitting,
                              const std::vector<int32_t>& items_of) {
        StatsRequest request;
        request.kind = kind;
        request.node_ids = static_cast<int32_t>(nodes_.size());
        request.item_begin.push_back(0);
        for (size_t i = 0; i < splitting.size(); ++i) {
            if (items_of[i] == 0) continue;
            request.nodes.push_back(splitting[i]);
            request.first_output.push_back(nodes_[splitting[i]].p);
            request.second_output.push_back(nodes_[splitting[i]].q);
            request.item_begin.push_back(request.item_begin.back() + items_of[i]);
        }
        return request;
    }

    // The oblique search of the level's splitting nodes: the moments of each node's column
    // pairs (one request, with their screening sums where a node screens them), a direction
    // per pair, the most promising kept, and their projected histograms (one more request),
    // whose best cut each node keeps.
    void search_pairs(const std::vector<int32_t>& splitting) {
        const size_t n = splitting.size();
        std::vector<std::vector<ColumnPair>> pairs(n);
        std::vector<size_t> keep(n, 0);
        std::vector<char> screens(n, 0);
        std::vector<int32_t> items_of(n, 0);
        // Each node's pairs on their own, the nodes spread over the threads.
        parallel_for_dynamic(static_cast<int64_t>(n), 1, n > 1, [&](int64_t i) {
            const BuildNode& x = nodes_[splitting[i]];
            const int64_t* block = ws_.current_hist.data() + x.hist;
            const std::vector<int32_t> columns = paired_columns(
                choices_[i].features, block, shape_, x.totals, settings_, t_.max_pair_columns);
            column_pairs(columns, block, shape_, *c_.bins, t_.categorical, pairs[i]);
            // The capped search evaluates 4 candidates per paired column.
            if (t_.split_mode == kCappedOblique) keep[i] = capped_keep(columns.size());
            const bool ranked = columns.size() < choices_[i].features.size();
            screens[i] = screens_pairs(t_, x.depth, ranked, pairs[i].size(), keep[i]) ? 1 : 0;
            items_of[i] = static_cast<int32_t>(pairs[i].size());
        });
        const bool screened =
            std::any_of(screens.begin(), screens.end(), [](char s) { return s != 0; });
        StatsRequest moments =
            item_request(screened ? kScreenedPairMoments : kPairMoments, splitting, items_of);
        if (moments.nodes.empty()) return;
        for (size_t i = 0; i < n; ++i) {
            moments.pairs.insert(moments.pairs.end(), pairs[i].begin(), pairs[i].end());
        }
        gather_stats(shards_, moments, shape_, t_.n_outputs, ws_);
        std::vector<std::vector<ObliqueCandidate>> candidates(n);
        propose_candidates(splitting, pairs, screens, keep, candidates);
        for (size_t i = 0; i < n; ++i) items_of[i] = static_cast<int32_t>(candidates[i].size());
        StatsRequest histograms = item_request(kProjectedHistograms, splitting, items_of);
        if (histograms.nodes.empty()) return;
        const int32_t bins = std::min(t_.hist_bins, kMaxProjectedBins);
        histograms.projection_bins = bins;
        for (size_t i = 0; i < n; ++i) {
            for (const ObliqueCandidate& c : candidates[i]) {
                histograms.projections.push_back(c.projection);
            }
        }
        gather_stats(shards_, histograms, shape_, t_.n_outputs, ws_);
        // Every candidate's cut on its own, in parallel; then each node keeps its first best.
        std::vector<int64_t> first_item(n + 1, 0);
        std::vector<int32_t> node_of;
        for (size_t i = 0; i < n; ++i) {
            first_item[i + 1] = first_item[i] + static_cast<int64_t>(candidates[i].size());
            node_of.insert(node_of.end(), candidates[i].size(), static_cast<int32_t>(i));
        }
        const int64_t n_items = first_item[n];
        std::vector<ObliqueCut> cuts(static_cast<size_t>(n_items));
        parallel_for_dynamic(n_items, 4, n_items > 1, [&](int64_t item) {
            cuts[item] = best_projection_cut(
                projection_item(ws_.merged, kProjectedHistograms, bins, item), bins,
                nodes_[splitting[node_of[item]]].totals, settings_);
        });
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < candidates[i].size(); ++j) {
                const ObliqueCut& cut = cuts[first_item[i] + j];
                if (cut.gain > choices_[i].pair.gain) {
                    choices_[i].pair = cut;
                    choices_[i].projection = candidates[i][j].projection;
                }
            }
        }
    }

    // Every node's candidates from the merged moments of its pairs (ws.merged): a direction
    // per pair, cut down to `keep` by prescore, or by prescore and screening score where the
    // node screens (the screening sums follow every moment item).
    void propose_candidates(const std::vector<int32_t>& splitting,
                            const std::vector<std::vector<ColumnPair>>& pairs,
                            const std::vector<char>& screens, const std::vector<size_t>& keep,
                            std::vector<std::vector<ObliqueCandidate>>& candidates) {
        const ObliqueSettings oblique_settings{&t_, c_.bins, grids_};
        // Where each pair's moment item lies in the request, and which node it belongs to.
        std::vector<int64_t> item_at;
        std::vector<int32_t> node_of;
        int64_t at = kStatsHeader;
        for (size_t i = 0; i < pairs.size(); ++i) {
            for (const ColumnPair& pair : pairs[i]) {
                item_at.push_back(at);
                node_of.push_back(static_cast<int32_t>(i));
                at += pair_item_words(pair);
            }
        }
        const int64_t* screen = ws_.merged.data() + at;
        std::vector<int64_t> first_pair(splitting.size() + 1, 0);
        for (size_t i = 0; i < splitting.size(); ++i) {
            first_pair[i + 1] = first_pair[i] + static_cast<int64_t>(pairs[i].size());
        }
        // Every pair's direction on its own, the pairs of the whole level spread over the
        // threads; then each node takes its proposals in pair order.
        const auto n_pairs = static_cast<int64_t>(item_at.size());
        std::vector<ObliqueCandidate> proposed(static_cast<size_t>(n_pairs));
        std::vector<char> found(static_cast<size_t>(n_pairs), 0);
        parallel_for_dynamic(n_pairs, 16, n_pairs > 1, [&](int64_t j) {
            const int32_t i = node_of[j];
            const ColumnPair& pair = pairs[i][j - first_pair[i]];
            const int64_t* block = ws_.current_hist.data() + nodes_[splitting[i]].hist;
            const int64_t* item = ws_.merged.data() + item_at[j];
            ObliqueCandidate& c = proposed[j];
            if (!propose_direction(item, pair, block, shape_, oblique_settings, c)) return;
            found[j] = 1;
            if (screens[i] != 0) {
                c.screen =
                    pair_screen_score(item, screen + kScreenWords * j, pair, oblique_settings);
            }
        });
        auto keep_node = [&](int64_t i) {
            for (int64_t j = first_pair[i]; j < first_pair[i + 1]; ++j) {
                if (found[j] != 0) candidates[i].push_back(std::move(proposed[j]));
            }
            if (screens[i] != 0) {
                keep_screened_candidates(candidates[i], keep[i]);
            } else {
                keep_best_candidates(candidates[i], keep[i]);
            }
        };
        const auto n_nodes = static_cast<int64_t>(splitting.size());
        parallel_for_dynamic(n_nodes, 1, n_nodes > 1, keep_node);
    }

    // Splits every splitting node that has a cut that gains; returns the next level. A
    // node's pair cut wins when it gains, unless best_of_kinds finds its axis cut better.
    std::vector<int32_t> decide(const std::vector<int32_t>& splitting) {
        std::vector<int32_t> next;
        std::vector<RouteRule> rules;
        std::vector<int32_t> rule_of(nodes_.size(), -1);
        // Every node's axis cut on its own, the nodes spread over the threads.
        const auto n_splitting = static_cast<int64_t>(splitting.size());
        std::vector<ExactCut> cuts(splitting.size());
        if (ws_.listed.size() < static_cast<size_t>(omp_get_max_threads())) {
            ws_.listed.resize(static_cast<size_t>(omp_get_max_threads()));
        }
        parallel_for_dynamic(n_splitting, 1, n_splitting > 1, [&](int64_t i) {
            const int32_t id = splitting[i];
            cuts[i] = best_exact_cut(ws_.current_hist.data() + nodes_[id].hist, shape_,
                                     choices_[i].features, nodes_[id].totals, settings_,
                                     ws_.listed[omp_get_thread_num()]);
        });
        for (size_t i = 0; i < splitting.size(); ++i) {
            const int32_t id = splitting[i];
            const NodeChoice& choice = choices_[i];
            const ExactCut& cut = cuts[i];
            const bool pair = pair_cut_wins(choice.pair.gain, cut.gain, t_.best_of_kinds);
            if (!pair && !cut_gains(cut.gain)) continue;
            const auto left = static_cast<int32_t>(nodes_.size());
            nodes_.resize(nodes_.size() + 2);
            BuildNode& x = nodes_[id];
            Node& n = x.node;
            NodeTotals left_totals = cut.left;
            if (pair) {
                const double value = n.value;
                n = pair_node(choice.projection, choice.pair.threshold, choice.pair.missing_right);
                n.value = value;
                n.gain = choice.pair.gain;
                left_totals = choice.pair.left;
            } else {
                n.is_leaf = false;
                n.kind = kAxis;
                n.gain = cut.gain;
                n.feature_a = cut.feature;
                n.threshold = cut.threshold;
                n.missing_right = cut.missing_right;
            }
            n.leaf_values.clear();
            x.left = left;
            x.right = left + 1;
            const NodeTotals right_totals{x.totals.count - left_totals.count,
                                          x.totals.g - left_totals.g, x.totals.h - left_totals.h};
            const ChildBounds bounds = child_bounds(
                split_constraint(n, t_.monotone), ValueBounds{x.lower, x.upper},
                side_sums(left_totals, grids_), side_sums(right_totals, grids_), t_.reg_lambda);
            for (int32_t side = 0; side < 2; ++side) {
                BuildNode& child = nodes_[left + side];
                child.depth = x.depth + 1;
                child.parent = id;
                child.sibling = left + 1 - side;
                child.key = child_key(x.key, side);
                child.totals = side == 0 ? left_totals : right_totals;
                const ValueBounds& b = side == 0 ? bounds.left : bounds.right;
                child.lower = b.lower;
                child.upper = b.upper;
            }
            rule_of[id] = static_cast<int32_t>(rules.size());
            rules.push_back(pair ? RouteRule{id, left, left + 1, n, {}, {}}
                                 : route_rule(id, left, left + 1, n, *c_.bins));
            next.push_back(left);
            next.push_back(left + 1);
        }
        if (!rules.empty()) {
            for (ShardSource& s : shards_) s.route(rules, rule_of);
        }
        return next;
    }

    const ExactTreeConfig& c_;
    const TreeParams& t_;  // c_.tree
    std::vector<ShardSource>& shards_;
    LevelWorkspace& ws_;
    HistogramShape shape_;
    RoundGrids grids_;
    CutSettings settings_;
    std::vector<BuildNode> nodes_;
    std::vector<NodeChoice> choices_;  // per splitting node of the level
};

}  // namespace

ShardSource local_source(LocalShard& shard, const double* grad, const double* hess,
                         int32_t n_outputs, const HistogramShape& shape) {
    LocalShard* s = &shard;
    const HistogramShape* sh = &shape;
    ShardSource source;
    source.begin_tree = [=](uint64_t bag_key, double subsample) {
        return begin_tree(s->rows, bag_key, subsample, grad, hess, n_outputs, s->tree);
    };
    source.fix_gradients = [=](const RoundGrids& grids) {
        fix_gradients(s->rows, grad, hess, n_outputs, grids, s->tree);
    };
    source.stats = [=](const StatsRequest& request, std::vector<int64_t>& out) {
        shard_stats(s->rows, s->tree, request, *sh, n_outputs, out);
    };
    source.route = [=](const std::vector<RouteRule>& rules, const std::vector<int32_t>& rule_of) {
        route_rows(s->rows, s->tree, rules, rule_of);
    };
    return source;
}

void gather_stats(std::vector<ShardSource>& shards, const StatsRequest& request,
                  const HistogramShape& shape, int32_t n_outputs, LevelWorkspace& ws) {
    reset_stats(request, shape, n_outputs, ws.merged);
    for (ShardSource& s : shards) {
        s.stats(request, ws.shard_buffer);
        merge_stats(ws.merged, ws.shard_buffer);
    }
}

RoundGrids begin_exact_tree(const ExactTreeConfig& config, std::vector<ShardSource>& shards) {
    RoundSummary summary;
    const uint64_t bag_key = tree_key(kBagStream, config.seed, config.tree_index);
    for (ShardSource& s : shards) summary.merge(s.begin_tree(bag_key, config.subsample));
    const RoundGrids grids = RoundGrids::of(summary, config.tree->n_outputs);
    for (ShardSource& s : shards) s.fix_gradients(grids);
    return grids;
}

ExactTree grow_exact_tree(const ExactTreeConfig& config, std::vector<ShardSource>& shards,
                          LevelWorkspace& ws) {
    return LevelGrower(config, shards, ws).grow();
}

}  // namespace vorlent
