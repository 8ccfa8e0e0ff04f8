#pragma once
// The trained model: the trees and what reading them needs, apart from how it was trained.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/importance.hpp"
#include "model/node.hpp"
#include "model/node_cover.hpp"
#include "model/packed_forest.hpp"

namespace vorlent {

// Task codes.
enum Objective : int32_t { kBinary = 0, kRegression = 1, kMulticlass = 2 };

// The trained ensemble: what prediction, importances, explanation, Shapley values and the
// model bytes read. Training writes it; nothing here knows how it was trained.
struct Model {
    int32_t n_trees() const { return static_cast<int32_t>(trees.size()); }

    // Recomputes what readers of the model need to know about its shape (the columns that
    // routing reads, the deepest path, the packed trees). Called after every change of
    // trees or projections.
    void refresh_facts();
    // Keeps the first n trees (and their node covers), dropping the rest; no other field
    // changes. n must not exceed the tree count.
    void keep_first_trees(int32_t n);

    // What the model bytes carry. learning_rate, objective and clip are also hyper-parameters:
    // the booster keeps its parameters' copies equal to these.
    double base_score = 0.0;
    double learning_rate = 0.0;  // factor on every leaf value
    Objective objective = kBinary;
    int32_t clip = 0;  // nonzero: single-output raw scores clamp to [clip_low, clip_high]
    double clip_low = 0.0;
    double clip_high = 0.0;
    int32_t n_features = 0;
    int32_t n_outputs = 1;
    std::vector<double> base_scores;  // per-output start scores (multiclass)
    Importances importances;
    std::vector<Tree> trees;
    Directions projections;  // unit directions of projection nodes

    // Per tree, per node: the bag rows that reached the node when the tree was grown. Not
    // part of the model bytes: empty after deserialize, and out of step (see covers_match)
    // once fit_more extends a loaded model.
    NodeCovers node_covers;

    // Facts derived from the trees by refresh_facts.
    int32_t required_width = 0;      // columns that routing reads: one plus the largest index
    int32_t deepest_path = 0;        // internal nodes on the longest root-to-leaf path
    std::vector<PackedTree> packed;  // compact copies of the trees for prediction
};

// The tree count that stands for every tree of the model in calls that may use only the
// leading trees (prediction, explanation, Shapley values).
inline constexpr int32_t kAllTrees = -1;

// The number of leading trees a call with `n_trees` uses: every tree for kAllTrees, else
// n_trees itself (the binding checks that it lies in [0, model.n_trees()]).
inline size_t trees_used(const Model& model, int32_t n_trees) {
    return n_trees == kAllTrees ? model.trees.size() : static_cast<size_t>(n_trees);
}

}  // namespace vorlent
