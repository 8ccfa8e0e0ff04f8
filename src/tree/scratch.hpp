#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorlent {

// Grows a vector to at least n entries; never shrinks it.
template <class T>
inline T* grow(std::vector<T>& v, std::size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

// One candidate column of a node.
struct FeatureColumn {
    int32_t feature = -1;
    float* values = nullptr;  // node rows' values, single precision
    bool filled = false;      // values hold the node's data
};

// Hessian-weighted moments of a column over the node rows (all zero for a column with
// missing values).
struct FeatureMoments {
    double sum_hx = 0.0;
    double sum_hxx = 0.0;
    double sum_rx = 0.0;  // sum of -g * x
    double min_x = 0.0;
    double max_x = 0.0;
};

// A pair to evaluate, with its direction: coef_a * x_a + coef_b * x_b, or for a
// categorical-numeric pair offsets[code of x_a] + coef_b * x_b (a the categorical column,
// coef_a 1). A linear pair without missing values takes the single-precision path, which
// reads the columns' moments; the others take the exact path.
struct PairToEvaluate {
    const FeatureColumn* a;
    const FeatureColumn* b;
    double coef_a;
    double coef_b;
    const FeatureMoments* ma = nullptr;
    const FeatureMoments* mb = nullptr;
    const double* offsets = nullptr;  // categorical-numeric pairs only
    int32_t n_offsets = 0;
};
using FastPair = PairToEvaluate;
using ExactPair = PairToEvaluate;

// The range of a fast pair's histogram: count equal cells from lo over width.
struct FastRange {
    bool ok = false;  // the range is not empty
    double lo = 0.0;
    double width = 0.0;
    int32_t count = 0;
};

// The equal cells a projected cut is scored on: cell i holds the values v with
// clamp_bin((v - lo) / step, cells) == i, so a cut after cell i lies at lo + (i + 1) * step.
struct ProjectedGrid {
    double lo = 0.0;
    double step = 0.0;
    int32_t cells = 0;
};

// The outcome of a cut search, copied into the node when the split is committed.
struct SplitChoice {
    double gain = 0.0;
    int32_t kind = 0;  // 0 none, 1 axis, 2 linear pair, 3 categorical-numeric pair
    int32_t feature_a = -1;
    int32_t feature_b = -1;
    double threshold = 0.0;
    double coef_a = 0.0;
    double coef_b = 0.0;
    double bias = 0.0;  // minus the cut position on the projected axis
    int32_t missing_right = 0;
    std::vector<double> category_values;
    ProjectedGrid grid;  // a pair cut's cells as searched, on which it is placed again

    // The merge order of pair results: higher gain, then smaller feature_a, then feature_b.
    bool beats(const SplitChoice& other) const {
        if (gain != other.gain) return gain > other.gain;
        if (feature_a != other.feature_a) return feature_a < other.feature_a;
        return feature_b < other.feature_b;
    }
};

// Working arrays of one thread. They only grow: a user resizes to at least what it needs
// and clears the prefix it uses, so steady-state node processing allocates nothing.
struct ThreadScratch {
    std::vector<double> projected;       // projected value per row of a block (exact path)
    std::vector<double> proj_hist;  // exact projection histogram: hist_bins cells and one
                                    // for missing values, gradient and hessian side by side
    std::vector<int32_t> proj_cell_of_row;  // a block of rows' cells
    std::vector<float> fast_hist;  // fast projection histogram, 4 * hist_bins cells of
                                   // gradient and hessian sums, interleaved
    std::vector<float> column_values;  // candidate column values, one block per column
    std::vector<float> gh_f32;         // single-precision node gradient and hessian, side by side
    std::vector<float> hess_f32;       // single-precision node hessians
    std::vector<double> bin_hist;        // gradient and hessian sums per training bin,
                                         // interleaved, of every candidate column
    std::vector<int32_t> bin_offsets;    // first cell of each candidate column in bin_hist
    std::vector<int32_t> nonempty_bins;  // bins with positive hessian, ascending
    std::vector<int32_t> fast_bin_of_row;
    std::vector<double> screen_rows;  // a block of node rows of every column, for screening
    std::vector<FastPair> fast_pairs;  // a thread's single-precision candidates
    std::vector<int32_t> fast_index;   // their places in the candidate list
    std::vector<SplitChoice> fast_out;  // their results
    std::vector<FastRange> fast_ranges;  // their histogram ranges
    std::vector<int32_t> fast_live;          // those whose range is not empty
    std::vector<ExactPair> exact_pairs;      // a thread's exact-path candidates
    std::vector<int32_t> exact_index;        // their places in the candidate list
    std::vector<SplitChoice> exact_out;      // their results
    std::vector<ProjectedGrid> exact_ranges;  // their histograms' cells
};

}  // namespace vorlent
