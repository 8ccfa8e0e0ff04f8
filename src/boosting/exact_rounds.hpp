#pragma once
#include <cstdint>
#include <vector>

#include "boosting/params.hpp"
#include "common/matrix.hpp"
#include "exact/level_builder.hpp"
#include "model/model.hpp"
#include "prep/binning.hpp"
#include "tree/tree_params.hpp"

// The round pieces of exact_sums training that the boosting loop calls in place of its
// own: the start scores, one round's tree (bag, growth, quantile leaves, score update) and
// the validation loss. Each depends only on the multiset of rows, not on their order nor on
// how they are split into shards.

namespace vorlent {

// How the training rows are split into shards: a list of row indices per shard, which
// together hold every row once, in any order.
using ShardPlan = std::vector<std::vector<int32_t>>;

// Hook for tests: when set, training splits its rows into the shards it returns for the
// row count (each shard in its own order); null means one shard of every row in order.
extern ShardPlan (*g_exact_shard_plan)(int32_t n_rows);

// compute_base_score with exact sums: the mean of the (weighted) targets or the class
// frequencies summed on a grid, the median by exact selection, the target range in the
// total order of doubles.
// Sets the same fields of `model` as compute_base_score.
void exact_base_score(Model& model, const BoosterParams& params,
                      const std::vector<double>& weights, const double* y, int32_t n_rows);

// validation_loss with the rows' losses summed exactly, so that the order of the validation
// rows does not matter.
double exact_validation_loss(Objective objective, int64_t n_outputs,
                             const std::vector<double>& y_val, const double* val_scores);

// What growing the next tree of `model` reads: the fit's tree parameters, the booster's
// bag fraction and seed, and the bin tables.
ExactTreeConfig exact_tree_config(const BoosterParams& p, const TreeParams& tree,
                                  const Model& model, const BinnedMatrix& bins);

// One boosting call's exact rounds over the training rows of X.
class ExactRounds {
public:
    ExactRounds(const MatrixView& X, const BinnedMatrix& bins);

    // Grows the round's tree on the gradients (its bag and column samples keyed by the tree's
    // index), refits quantile leaves, adds the tree to the training scores and records its
    // node covers; returns the tree for the caller to append.
    // Its split gains go to the model's importances.
    Tree grow(const BoosterParams& p, const TreeParams& tree_params, Model& model, const double* y,
              const double* grad, const double* hess, double* scores);

private:
    void refit_quantile(double alpha, const ExactTree& grown, Tree& tree, const double* y,
                        const double* scores);
    void add_scores(const Model& model, const ExactTree& grown, const Tree& tree, double* scores);

    const MatrixView& X_;
    const BinnedMatrix& bins_;
    std::vector<double> column_bound_;  // per column: the largest finite |value| of a row
    ShardPlan plan_;
    HistogramShape shape_;
    std::vector<LocalShard> shards_;
    std::vector<ShardSource> sources_;
    LevelWorkspace ws_;
    std::vector<uint8_t> in_bag_;
};

}  // namespace vorlent
