#pragma once
// What the split search of a node reads (NodeSearch) and the storage it keeps across nodes
// (SearchWorkspace), shared by the search and its stages: proposing pairs, cutting the
// candidates down and evaluating them.
#include <cstdint>
#include <utility>
#include <vector>

#include "common/matrix.hpp"
#include "prep/binning.hpp"
#include "tree/bin_histogram.hpp"
#include "tree/node_gradients.hpp"
#include "tree/pair_screening.hpp"
#include "tree/pair_solver.hpp"
#include "tree/pair_sums.hpp"
#include "tree/scratch.hpp"
#include "tree/tree_params.hpp"

namespace vorlent {

// One proposed pair of a node.
struct PairCandidate {
    double prescore = 0.0;
    double coef_a = 0.0;
    double coef_b = 0.0;  // the slope of a categorical-numeric pair
    double cross_moment = 0.0;
    double screen_score = 0.0;
    int32_t pos_a = 0;  // positions in the node's column list, pos_a < pos_b
    int32_t pos_b = 0;
    int32_t offsets_begin = 0;  // categorical-numeric pairs: offsets in the offset pool
    int32_t n_offsets = 0;      // 0 for linear pairs
    bool missing_aware = false;
    int64_t index = 0;  // place among the node's candidates in pair order: breaks ties
};

// Candidates above which screening and evaluation run in parallel.
inline constexpr int64_t kParallelCandidates = 16;
// Rows of node data that the passes over many pairs take at a time, in cache.
inline constexpr int32_t kScreenBlockRows = 512;
// Pairs proposed at a time: a node's pairs (a, b) are taken in runs of whole first columns
// a of about this many pairs, so the search's working memory stays bounded whatever the
// number of columns (a run holds at least one first column's pairs).
inline constexpr int64_t kPairBatch = 16384;
// Bound of the bytes that one pair of a run takes while it is proposed and kept.
inline constexpr int64_t kPairBytes = 1024;
inline constexpr double kPairBatchBytes = static_cast<double>(kPairBatch * kPairBytes);

// A categorical column against the numeric columns lane_b, lane_b + 1, ...: top is the
// categorical column's largest code in the node.
struct CategoryGroup {
    int32_t category;
    int32_t lane_b;
    int32_t top;
};

// Storage of the split search that lives across nodes, so that a node allocates nothing.
struct SearchWorkspace {
    std::vector<std::pair<int32_t, int32_t>> pairs;  // column positions of every pair
    std::vector<PairDirection> directions;           // one per pair
    std::vector<double> pair_offsets;                // kMaxPairCategories per pair
    std::vector<float> cross_lanes;                  // kCrossLanes partial sums per pair
    std::vector<float> cross;                        // cross moment per pair
    std::vector<FeatureMoments> moments;
    std::vector<PairCandidate> candidates;
    std::vector<PairCandidate> kept;
    std::vector<double> offset_pool;
    std::vector<double> offset_spare;  // the pool while the kept candidates' offsets move
    std::vector<int32_t> order;
    std::vector<int32_t> groups;       // first candidate of each screening group
    std::vector<int32_t> group_lane_b;  // column of each screening group's first lane
    std::vector<double> group_inv;      // kScreenLanes inverse scale products per group
    std::vector<ScreenSums> screen_sums;  // one per screening group
    std::vector<int32_t> sum_groups;        // first pair of each group of missing-aware sums
    std::vector<int32_t> sum_group_lane_b;  // column of each such group's first lane
    std::vector<PairSumLanes> sum_lanes;    // one per such group
    std::vector<PairSums> missing_sums;     // per pair, when its group computed them
    std::vector<CategoryGroup> category_groups;  // categorical column against numeric lanes
    std::vector<CategoryLanes> category_lanes;   // one per such group
    std::vector<CategorySums> category_sums;     // per categorical-numeric column pair
    std::vector<int32_t> category_slot;  // per pair of the run: its entry of category_sums or -1
    std::vector<int32_t> category_top;   // per column: its largest code (categorical columns)
    std::vector<int64_t> run_start;      // per first column of the run: its first pair
    std::vector<const FeatureColumn*> column_order;  // the candidate columns, in order
    std::vector<char> marked;
    std::vector<double> prescores;  // the candidates' scores while screening ranks them
    std::vector<double> screens;
    std::vector<int32_t> top;  // scratch of the ranking
    std::vector<int64_t> indices;  // the candidates' proposal indices while they are ranked
    std::vector<SplitChoice> thread_best;
    std::vector<int32_t> thread_best_candidate;
    std::vector<BinCut> column_cuts;
    int64_t pair_batch = kPairBatch;  // pairs per run; tests make it small
    int64_t proposed = 0;             // candidates of the node proposed so far
    size_t screened = 0;              // candidates (a prefix) whose screening score is set
};

// Everything a node search reads.
struct NodeSearch {
    std::vector<FeatureColumn>* columns;
    const NodeGradients* node;
    const MatrixView* X;
    const int32_t* rows;
    const BinnedMatrix* bins;
    const TreeParams* params;
    int32_t depth;
    // The columns are the node's best few rather than all its columns: their pairs are
    // screened at every depth where they outnumber the cap, not only near the root.
    bool ranked = false;
    // The columns' bin histograms when the caller already has them (cells as
    // build_bin_histograms lays them out from bin_offsets); else the axis search sums them.
    const double* bin_cells = nullptr;
    const int32_t* bin_offsets = nullptr;
};

}  // namespace vorlent
