#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "boosting/params.hpp"
#include "common/matrix.hpp"
#include "common/row_view.hpp"
#include "exact/level_builder.hpp"
#include "model/model.hpp"
#include "prep/binning.hpp"
#include "prep/shard_select.hpp"
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

// Per column, the largest magnitude of a finite value of X's rows (0 for none): a maximum,
// so it does not depend on the order of the rows; the lineage builder scales its grids by it.
std::vector<double> column_bounds(const RowView& X);

// The next tree of `model` from the level-wise builders over the sources: the lineage
// builder with max_lineage >= 1 (its directions appended to the model's), else the histogram
// one. Its bag and column samples are keyed by the tree's index.
ExactTree grow_exact_round(const BoosterParams& p, const TreeParams& tree, Model& model,
                           const BinnedMatrix& bins, const std::vector<double>& column_bound,
                           std::vector<ShardSource>& sources, LevelWorkspace& ws);

// Appends a grown tree to the model with its gains credited and its covers, once every row's
// scores have taken it.
void append_exact_tree(Model& model, ExactTree& grown);

// Per builder node, the counts of one selection round over the residual keys of the node's
// bag rows, merged over the shards.
using LeafResidualCounts = std::function<std::vector<std::vector<uint64_t>>(
    const std::vector<int32_t>& nodes, const std::vector<SelectRound>& rounds)>;

// Every leaf that bag rows reach takes the alpha-quantile of their residuals, selected exactly
// (as keys of the total order, so -0.0 sorts first): one radix selection per leaf, all
// leaves' rounds in one call of count.
void refit_quantile_leaves(double alpha, ExactTree& grown, const LeafResidualCounts& count);

// One shard's part of those counts: its bag rows in `tree` (builder node ids below n_ids)
// with their targets y and scores.
std::vector<std::vector<uint64_t>> count_leaf_residuals(const ShardTree& tree, const double* y,
                                                        const double* scores, int64_t n_ids,
                                                        const std::vector<int32_t>& nodes,
                                                        const std::vector<SelectRound>& rounds);

// One boosting call's exact rounds over the training rows of X.
class ExactRounds {
public:
    ExactRounds(const MatrixView& X, const BinnedMatrix& bins);

    // Grows the round's tree on the gradients, refits quantile leaves, adds the tree to the
    // training scores and appends it to the model.
    void grow(const BoosterParams& p, const TreeParams& tree_params, Model& model, const double* y,
              const double* grad, const double* hess, double* scores);

private:
    void refit_quantile(double alpha, ExactTree& grown, const double* y, const double* scores);

    const MatrixView& X_;
    const BinnedMatrix& bins_;
    std::vector<double> column_bound_;  // per column: the largest finite |value| of a row
    ShardPlan plan_;
    HistogramShape shape_;
    std::vector<LocalShard> shards_;
    std::vector<ShardSource> sources_;
    LevelWorkspace ws_;
    std::vector<int32_t> routed_;  // per training row: the leaf its shard sent it to, or -1
};

}  // namespace vorlent
