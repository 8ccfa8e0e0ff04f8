#include "exact/level_builder.hpp"

#include <algorithm>

#include "common/numeric.hpp"
#include "exact/counter_random.hpp"

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
            reduced_outputs(block, k, x.p, x.q);
            x.totals.g = block[1 + 2 * x.p] - block[1 + 2 * x.q];
            x.totals.h = block[2 + 2 * x.p] + block[2 + 2 * x.q];
            x.node.leaf_values.resize(static_cast<size_t>(k));
            for (int32_t j = 0; j < k; ++j) {
                x.node.leaf_values[j] = -grids_.grad.value(block[1 + 2 * j]) /
                                        (t_.reg_lambda + grids_.hess.value(block[2 + 2 * j]));
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

    // The histogram blocks of the splitting nodes into ws.current_hist.
    void histograms(const std::vector<int32_t>& splitting) {
        const int64_t words = shape_.node_words();
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

    // Splits every splitting node that has a cut that gains; returns the next level.
    std::vector<int32_t> decide(const std::vector<int32_t>& splitting) {
        std::vector<int32_t> next;
        std::vector<RouteRule> rules;
        std::vector<int32_t> rule_of(nodes_.size(), -1);
        for (const int32_t id : splitting) {
            sample_node_columns(nodes_[id].key, shape_.n_features, t_.colsample, ws_.features,
                                ws_.draws);
            const ExactCut cut =
                best_exact_cut(ws_.current_hist.data() + nodes_[id].hist, shape_, ws_.features,
                               nodes_[id].totals, settings_, ws_.listed);
            if (!(cut.gain > kMinGain)) continue;
            const auto left = static_cast<int32_t>(nodes_.size());
            nodes_.resize(nodes_.size() + 2);
            BuildNode& x = nodes_[id];
            Node& n = x.node;
            n.is_leaf = false;
            n.kind = kAxis;
            n.gain = cut.gain;
            n.feature_a = cut.feature;
            n.threshold = cut.threshold;
            n.missing_right = cut.missing_right;
            n.leaf_values.clear();
            x.left = left;
            x.right = left + 1;
            const NodeTotals right_totals{x.totals.count - cut.left.count, x.totals.g - cut.left.g,
                                          x.totals.h - cut.left.h};
            for (int32_t side = 0; side < 2; ++side) {
                BuildNode& child = nodes_[left + side];
                child.depth = x.depth + 1;
                child.parent = id;
                child.sibling = left + 1 - side;
                child.key = child_key(x.key, side);
                child.totals = side == 0 ? cut.left : right_totals;
                child.lower = x.lower;
                child.upper = x.upper;
            }
            const int32_t m = t_.monotone.empty() ? 0 : t_.monotone[cut.feature];
            if (m != 0) {
                const double mid = monotone_midpoint(cut.left, right_totals, grids_, t_.reg_lambda,
                                                     x.lower, x.upper);
                nodes_[m > 0 ? left : left + 1].upper = mid;
                nodes_[m > 0 ? left + 1 : left].lower = mid;
            }
            rule_of[id] = static_cast<int32_t>(rules.size());
            rules.push_back(route_rule(id, left, left + 1, n, *c_.bins));
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
