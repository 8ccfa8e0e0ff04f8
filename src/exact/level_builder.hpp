#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "exact/cut_decision.hpp"
#include "exact/level_stats.hpp"
#include "model/node.hpp"
#include "prep/binning.hpp"
#include "tree/tree_params.hpp"

// The coordinator of exact_sums training: grows one tree level by level over any number of
// shards. Per level it asks every shard for the statistics of the nodes it needs (one pass
// over each shard's rows), merges them, decides every node of the level from the merged
// statistics alone and has the shards route their rows. Only the smaller child of a split
// gets its histograms from the rows; the larger one's are the parent's minus the smaller's,
// exactly, in integers. In the oblique modes a level asks twice more: for the moments of
// each node's column pairs (with the sums that screen them where the capped search screens),
// from which the coordinator solves a direction per pair, and for the projected histograms of
// the most promising directions, whose best cut competes with the node's axis cut. The
// finished tree is written depth first (a node, its left subtree, its right subtree), as the
// model stores trees.
//
// A shard is reached only through the four calls of a ShardSource, and everything it returns
// merges by integer addition or maximum: a coordinator of shards in other processes answers
// the same calls by messages and grows the same tree.

namespace vorlent {

// What growing one tree reads: the fit's tree parameters (max_depth, min_samples in bag
// rows, reg_lambda, colsample, learn_missing, n_outputs, monotone) and what keys the tree's
// draws; filled at the call site.
struct ExactTreeConfig {
    const TreeParams* tree = nullptr;
    double subsample = 1.0;
    uint32_t seed = 0;
    int64_t tree_index = 0;              // the tree's place in the ensemble: keys its random draws
    const BinnedMatrix* bins = nullptr;  // the bin tables every shard shares
};

// One shard held in this process: its rows and its state for the current tree.
struct LocalShard {
    ShardRows rows;
    ShardTree tree;
};

// How the coordinator reaches one shard while it grows a tree: take the tree's bag and
// summarise its gradients, put them on the round's grids, fill the statistics of a request,
// route the rows of the nodes that split.
struct ShardSource {
    std::function<RoundSummary(uint64_t bag_key, double subsample)> begin_tree;
    std::function<void(const RoundGrids& grids)> fix_gradients;
    std::function<void(const StatsRequest& request, std::vector<int64_t>& out)> stats;
    std::function<void(const std::vector<RouteRule>& rules, const std::vector<int32_t>& rule_of)>
        route;
    // Optional: a request the builder means to make soon, unless the answers before it change
    // its course. A source in another process asks for it together with the next request it
    // sends, and answers it from there when it comes: one round trip fewer.
    std::function<void(const StatsRequest& request)> expect;
};

// The source of a shard in this process, whose gradients (n_outputs per row of its arrays)
// are grad and hess; `shape` must outlive it.
ShardSource local_source(LocalShard& shard, const double* grad, const double* hess,
                         int32_t n_outputs, const HistogramShape& shape);

// A grown tree and what the round needs besides it.
struct ExactTree {
    Tree tree;
    std::vector<double> covers;       // per tree node: the bag rows that reached it
    std::vector<int32_t> tree_index;  // builder node id (ShardTree::node) -> index in tree
    RoundGrids grids;
};

// Storage of the coordinator that lives across trees.
struct LevelWorkspace {
    std::vector<int64_t> merged;
    std::vector<int64_t> shard_buffer;
    std::vector<int64_t> parent_hist;   // histogram blocks of the previous level
    std::vector<int64_t> current_hist;  // and of the current level
    std::vector<int32_t> features;      // a node's sampled columns
    std::vector<uint64_t> draws;
    std::vector<std::vector<int32_t>> listed;  // scratch of each thread's cut scans
};

// The start of every tree: the shards take the tree's bag and summarise its gradients, the
// round's grids follow from the merged summary, and the shards put their gradients on them.
RoundGrids begin_exact_tree(const ExactTreeConfig& config, std::vector<ShardSource>& shards);

// The finished tree of builder nodes (each with a Node `node`, child ids `left` and `right`,
// -1 for a leaf, and NodeTotals `totals`; node 0 the root) in depth-first order, with each
// node's bag rows as its cover.
template <class BuilderNodes>
ExactTree depth_first_tree(const BuilderNodes& nodes, const RoundGrids& grids) {
    ExactTree out;
    out.grids = grids;
    out.tree_index.assign(nodes.size(), -1);
    out.tree.reserve(nodes.size());
    // (id, index of its parent's entry, 1 when it is a right child), deepest first.
    std::vector<std::array<int32_t, 3>> stack{{0, -1, 0}};
    while (!stack.empty()) {
        const auto [id, parent, right] = stack.back();
        stack.pop_back();
        const auto at = static_cast<int32_t>(out.tree.size());
        out.tree_index[id] = at;
        out.tree.push_back(nodes[id].node);
        out.covers.push_back(static_cast<double>(nodes[id].totals.count));
        if (parent >= 0) (right != 0 ? out.tree[parent].right : out.tree[parent].left) = at;
        if (nodes[id].left >= 0) {
            stack.push_back({nodes[id].right, at, 1});
            stack.push_back({nodes[id].left, at, 0});
        }
    }
    return out;
}

// Grows one tree over the shards.
ExactTree grow_exact_tree(const ExactTreeConfig& config, std::vector<ShardSource>& shards,
                          LevelWorkspace& ws);

// The merged statistics of every shard for a request, into ws.merged.
void gather_stats(std::vector<ShardSource>& shards, const StatsRequest& request,
                  const HistogramShape& shape, int32_t n_outputs, LevelWorkspace& ws);

}  // namespace vorlent
