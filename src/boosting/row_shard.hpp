#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "boosting/exact_start.hpp"
#include "boosting/params.hpp"
#include "exact/level_stats.hpp"
#include "prep/binning.hpp"
#include "prep/select_keys.hpp"
#include "prep/shard_bins.hpp"
#include "prep/shard_select.hpp"

// One shard of exact_sums training held by a process of its own: its rows (values,
// targets, weights, scores) and everything the coordinator asks of it, from the bins to the
// score update after each tree. It answers with summaries that merge by addition, minimum
// or maximum, so the coordinator's model is the same bits as a fit on all rows together.

namespace vorlent {

// One block of a shard's rows read in place: n_rows rows of the shard's width starting at
// `values`, whose owner the pointer keeps alive (it must not change them while the shard
// lives). Its rows are global rows first_row onwards.
struct RowBlock {
    std::shared_ptr<const double> values;
    int64_t n_rows = 0;
    int64_t first_row = 0;
};

class RowShard {
public:
    // Rows are the shard's rows of X (row-major, n_features wide), their targets, weights
    // (read when weighted; a shard of a weighted fit may have no rows) and the global index of the
    // first row: row i is global row first_row + i, which keys its bag membership. Of the
    // parameters, the objective's settings and the learning rate are read.
    RowShard(std::vector<double> X, int32_t n_features, std::vector<double> y,
             std::vector<double> w, bool weighted, int64_t first_row, BoosterParams params);
    // The same with every row's global index given: several blocks of rows held together
    // (a worker's blocks in one shard, so that it answers once for all of them).
    RowShard(std::vector<double> X, int32_t n_features, std::vector<double> y,
             std::vector<double> w, bool weighted, std::vector<int64_t> global_rows,
             BoosterParams params);
    // The same on values the shard reads in place, without a copy: X points at n_rows rows
    // of n_features values and keeps whatever owns them alive (a worker's row block is
    // then held once, not twice). The owner must not change them while the shard lives.
    RowShard(std::shared_ptr<const double> X, int64_t n_rows, int32_t n_features,
             std::vector<double> y, std::vector<double> w, bool weighted, int64_t first_row,
             BoosterParams params);
    // The same on several blocks, each read in place (a worker's blocks, whatever their
    // number, are held once): y and w hold the blocks' targets and weights in block order.
    // Rows are reached through one pointer per row when there is more than one block.
    RowShard(std::vector<RowBlock> blocks, int32_t n_features, std::vector<double> y,
             std::vector<double> w, bool weighted, BoosterParams params);

    int64_t n_rows() const { return static_cast<int64_t>(y_.size()); }

    // Bins: the facts of every column, a column's distinct values, the counts of one
    // selection round for each of some columns, the extremes of every column's bins under
    // its edges; then the tables, from which the codes.
    std::vector<ShardedCuts> column_facts() const;
    DistinctValues distinct(int32_t f) const;
    std::vector<std::vector<uint64_t>> count_columns(const std::vector<int32_t>& columns,
                                                     const std::vector<SelectRound>& rounds) const;
    std::vector<BinExtremes> extremes(const std::vector<std::vector<double>>& edges) const;
    void set_bins(BinnedMatrix tables);
    // The largest magnitude of a finite value of each column among the shard's rows (0 for
    // none): merged by maximum, the bound the lineage builder scales its candidates by.
    const std::vector<double>& column_bounds() const;

    // The start score's pieces and the start itself (b holds the decided start).
    TargetRange target_range() const;
    std::vector<double> start_bounds(const TargetRange& range) const;
    std::vector<ExactSum> start_sums(const TargetRange& range,
                                     const std::vector<double>& bounds) const;
    std::vector<uint64_t> count_targets(const SelectRound& round) const;
    // Every row's scores start at the decided start: base_score, or base_scores per output.
    void start(int32_t n_outputs, double base_score, const std::vector<double>& base_scores);

    // The Huber threshold of the next tree: the shard's counts of its absolute residuals for
    // the selection, then the selected value.
    std::vector<uint64_t> count_abs_residuals(const SelectRound& round) const;
    void set_huber_delta(double delta) { huber_delta_ = delta; }

    // A tree: the gradients at the current scores and the bag, then the builder's calls.
    RoundSummary begin_tree(uint64_t bag_key, double subsample);
    void fix_gradients(const RoundGrids& grids);
    void stats(const StatsRequest& request, std::vector<int64_t>& out);
    void route(const std::vector<RouteRule>& rules, const std::vector<int32_t>& rule_of);
    // Quantile leaves: per builder node (a leaf of the grown tree), the counts of the
    // residuals of its bag rows for that node's selection round.
    std::vector<std::vector<uint64_t>> count_leaf_residuals(
        const std::vector<int32_t>& nodes, const std::vector<SelectRound>& rounds) const;
    // Validation rows: the largest loss of a row at the current scores, and the exact sum of
    // the rows' losses on the grid of the merged bound.
    double loss_bound() const;
    ExactSum loss_sum(double bound) const;
    // Adds the finished tree to the scores of every row: leaf_of maps the builder's node ids
    // to the tree's nodes (empty: every row walks the tree, as validation rows do). The
    // tree's projection nodes point into `directions` (one weight per column each).
    void add_tree(const Tree& tree, const std::vector<int32_t>& leaf_of = {},
                  const Directions& directions = {});
    // The current raw scores (n_outputs per row, row-major) and every row's global index.
    const std::vector<double>& scores() const { return scores_; }
    const std::vector<int64_t>& global_rows() const { return global_; }
    int32_t n_outputs() const { return n_outputs_; }

private:
    std::vector<std::shared_ptr<const double>> owners_;  // of the blocks' values
    const double* data_ = nullptr;                       // the rows, when they lie in one block
    std::vector<const double*> row_at_;                  // else where each row starts
    int32_t n_features_ = 0;
    std::vector<double> y_;
    std::vector<double> w_;
    bool weighted_ = false;
    std::vector<int64_t> global_;
    std::vector<int32_t> rows_;
    BinnedMatrix bins_;
    HistogramShape shape_;
    ShardTree tree_;
    // Node ids the tree being grown has given out: the root, then two children per rule
    // routed. A message naming a node at or above it is refused, before anything is sized
    // by that id.
    int64_t node_ids_ = 0;
    int32_t n_outputs_ = 1;
    double huber_delta_ = 0.0;
    std::vector<double> scores_, grad_, hess_, residuals_;
    RoundGrids grids_;  // of the tree being grown, as fix_gradients set them
    RoundSummary summary_;  // of the tree being grown, as begin_tree found it
    mutable std::vector<double> column_bounds_;  // computed when first asked for
    BoosterParams params_;

    // Every constructor sets the rows' targets and settings, then holds the blocks: their
    // rows are global rows given by each block's first_row, or by global_rows when given.
    RowShard(std::vector<double> y, std::vector<double> w, bool weighted, BoosterParams params);
    void hold(std::vector<RowBlock> blocks, int32_t n_features,
              const std::vector<int64_t>* global_rows);

    // Per column whose selection is under way, its keys as the last round left them, so that
    // the rows are read once per selection and each round counts only the keys the one
    // before kept. A column no longer asked about has finished and lets its keys go, and so
    // do all at set_bins.
    struct ColumnKeys {
        SelectRound last;
        SelectKeys keys;
    };
    mutable std::vector<ColumnKeys> selecting_;
    // Takes the keys of the given columns (distinct, cleared) in one pass over the rows.
    void take_keys(const std::vector<int32_t>& columns) const;
    // The one-byte codes that the extremes' bin search found, under the edges it was given;
    // set_bins takes them when its tables have those edges (and count this shard's missing
    // values as missing) instead of searching again.
    mutable std::vector<std::vector<double>> found_edges_;
    mutable std::vector<uint8_t> found_codes_;
    mutable std::vector<uint8_t> found_missing_;

    RowView values() const;
    ShardRows shard_rows() const;
    void check_ready() const;
    void check_nodes(const std::vector<int32_t>& nodes, const char* what) const;
    void check_column(int32_t f) const;
    std::vector<double> column(int32_t f) const;  // checks f
};

}  // namespace vorlent
