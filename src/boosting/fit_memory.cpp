#include "boosting/fit_memory.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "common/memory.hpp"
#include "model/packed_forest.hpp"
#include "model/pair_gains.hpp"
#include "prep/binning.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/split_search.hpp"

namespace vorlent {

double max_leaves_per_tree(const BoosterParams& p, int64_t rows) {
    // Every leaf holds a row, and a tree has at most 2^max_depth leaves.
    const double by_depth = std::ldexp(1.0, std::clamp(p.max_depth, 0, 1000));
    return std::max(1.0, std::min(by_depth, static_cast<double>(rows)));
}

namespace {

// The level-wise builder of exact_sums keeps, for the widest level, the histogram blocks of
// the nodes it asks for (one copy per thread, the shard's answer and the merged one) and of
// the previous and the current level (both children), and per bag row its node and its
// gradients on the grids. A level has at most 2^(max_depth - 1) splitting nodes, and no more
// than there are disjoint groups of min_samples rows.
void add_exact_builder_memory(const BoosterParams& p, const FitShape& s, MemoryNeed& need) {
    const double rows = static_cast<double>(s.rows);
    const double threads = static_cast<double>(omp_get_max_threads());
    const double bins = std::min<double>(std::max(p.max_bins, 2), rows + 1.0) + 1.0;
    const double by_depth = std::ldexp(1.0, std::clamp(p.max_depth - 1, 0, 1000));
    const double by_rows = std::max(1.0, rows / std::max(1, p.min_samples));
    const double level = std::min(by_depth, by_rows);
    const double block_bytes = 8.0 * (3.0 + 3.0 * static_cast<double>(s.columns) * bins);
    need.add(block_bytes * level * (threads + 5.0), "the histograms of one level of a tree");
    need.add(rows * (8.0 + 16.0 * static_cast<double>(s.outputs)),
             "the nodes and grid gradients of the bag rows");
}

}  // namespace

void check_training_memory(const BoosterParams& p, const FitShape& s) {
    const double rows = static_cast<double>(s.rows);
    const double cols = static_cast<double>(s.columns);
    const double outputs = static_cast<double>(s.outputs);
    const double threads = static_cast<double>(omp_get_max_threads());
    const double bins = std::min<double>(std::max(p.max_bins, 2), rows + 1.0);
    MemoryNeed need;
    need.add(24.0 * rows * outputs, "the scores, gradients and hessians of every row and output");
    need.add(8.0 * static_cast<double>(s.val_rows) * (cols + (s.early_stopping ? outputs : 0.0)),
             "the validation rows and their scores");
    need.add(rows * cols * (p.max_bins > kMaxNarrowBins ? 2.0 : 1.0) + 24.0 * cols * bins,
             "the bin codes and bin tables");
    need.add(24.0 * cols + 40.0 * rows, "the per-column accumulators and per-row lists");
    if (p.max_lineage >= 1) {
        // A node's lineage holds at most one direction per ancestor.
        const double lineage = std::max(0, std::min(p.max_lineage, p.max_depth));
        need.add(8.0 * rows * (cols + lineage) + kLineagePairBytes,
                 "the lineage builder's node values and pair batches");
    } else {
        // Node columns in single precision, their bin histograms, and per thread a block
        // of rows of every column and a batch of pairs.
        need.add(4.0 * rows * cols + 16.0 * cols * bins +
                     threads * (8.0 * kScreenBlockRows * (cols + 16.0) + kPairBatchBytes),
                 "the split search's working memory");
    }
    if (p.exact_sums) add_exact_builder_memory(p, s, need);
    const double leaves = max_leaves_per_tree(p, s.rows) * static_cast<double>(s.rounds);
    const double nodes = 2.0 * leaves;
    // Per node: the tree's and the packed forest's, 12 bytes more, and its recorded cover.
    need.add(nodes * static_cast<double>(sizeof(Node) + sizeof(PackedNode) + 12 + sizeof(double)),
             "the nodes of the trees to grow");
    // A split credits at most one column pair (a tree has one split fewer than leaves): its
    // entry, with room for the table to double, its index slots and the sorted copy that
    // writing the model makes.
    need.add(leaves * static_cast<double>(4 * sizeof(PairGain) + 4 * sizeof(int32_t)),
             "the interaction gains of the splits to grow");
    if (p.objective == kMulticlass) {
        need.add(8.0 * leaves * outputs, "the per-class values of the leaves to grow");
    }
    if (p.max_lineage >= 1) need.add(8.0 * leaves * cols, "the directions of the nodes to grow");
    need.check("training on " + std::to_string(s.rows) + " rows of " + std::to_string(s.columns) +
               " columns with " + std::to_string(s.outputs) + " outputs and " +
               std::to_string(s.rounds) + " rounds");
}

}  // namespace vorlent
