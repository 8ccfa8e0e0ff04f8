#include "exact/projection_stats.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "common/total_order.hpp"
#include "tree/projected_histogram.hpp"

namespace vorlent {
namespace {

constexpr int64_t kNoKey = -1;  // UINT64_MAX as an int64 word: the empty minimum

void note_key(int64_t* min_max, double v) {
    const uint64_t key = sort_key(v);
    if (key < static_cast<uint64_t>(min_max[0])) min_max[0] = static_cast<int64_t>(key);
    if (key > static_cast<uint64_t>(min_max[1])) min_max[1] = static_cast<int64_t>(key);
}

void range_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                int64_t i0, int64_t i1, int64_t* words) {
    for_requested_rows(st, request, 1, false, i0, i1, [&](int64_t i, int32_t t, int64_t, int64_t) {
        const double* row = shard.X->row(st.bag[i]);
        for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
            int64_t* item = words + kRangeWords * j;
            double v = 0.0;
            if (!projected_value(request.projections[j], row, v)) {
                item[1] += 1;
            } else if (!std::isfinite(v)) {
                item[2] += 1;
            } else {
                item[0] += 1;
                note_key(item + 3, v);
            }
        }
    });
}

void histogram_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                    int32_t k, const std::vector<double>& steps, int64_t i0, int64_t i1,
                    int64_t* words) {
    const int32_t bins = request.projection_bins;
    const int64_t item_words = kProjectedCellWords * (int64_t{bins} + 2);
    for_requested_rows(
        st, request, k, true, i0, i1, [&](int64_t i, int32_t t, int64_t g, int64_t h) {
            const double* row = shard.X->row(st.bag[i]);
            for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
                const Projection& p = request.projections[j];
                double v = 0.0;
                int64_t cell = bins + 1;
                const bool present = projected_value(p, row, v);
                if (present) cell = std::isnan(v) ? bins : projected_cell(v, p.lo, steps[j], bins);
                int64_t* c = words + item_words * j + kProjectedCellWords * cell;
                c[0] += g;
                c[1] += h;
                c[2] += 1;
                if (present && cell < bins) note_key(c + 3, v);
            }
        });
}

// Every node's items must be a run of the request's projections.
void check_items(const StatsRequest& request) {
    const size_t n = request.nodes.size();
    bool bad = request.item_begin.size() != n + 1 || request.item_begin.front() != 0 ||
               request.item_begin.back() != static_cast<int32_t>(request.projections.size());
    for (size_t t = 0; t < n && !bad; ++t) bad = request.item_begin[t] > request.item_begin[t + 1];
    if (request.kind == kProjectedHistograms) bad = bad || request.projection_bins < 1;
    if (bad) throw std::invalid_argument("exact_sums: projections not laid out per node");
}

}  // namespace

int32_t projected_cell(double v, double lo, double step, int32_t bins) {
    return clamp_bin((v - lo) / step, bins);
}

int64_t projection_item_words(int64_t kind, int32_t projection_bins) {
    if (kind == kProjectionRanges) return kRangeWords;
    return kProjectedCellWords * (int64_t{projection_bins < 1 ? 1 : projection_bins} + 2);
}

void init_projection_words(const StatsRequest& request, int64_t* words) {
    const int64_t n = static_cast<int64_t>(request.projections.size());
    if (request.kind == kProjectionRanges) {
        for (int64_t j = 0; j < n; ++j) words[kRangeWords * j + 3] = kNoKey;
        return;
    }
    const int64_t cells =
        n * (int64_t{request.projection_bins < 1 ? 1 : request.projection_bins} + 2);
    for (int64_t c = 0; c < cells; ++c) words[kProjectedCellWords * c + 3] = kNoKey;
}

void projection_stats(const ShardRows& shard, ShardTree& st, const StatsRequest& request,
                      int32_t n_outputs, std::vector<int64_t>& out) {
    if (request.nodes.empty()) return;
    check_items(request);
    mark_targets(request, st);
    if (request.kind == kProjectionRanges) {
        row_pass(st, request.kind, out, [&](int64_t i0, int64_t i1, int64_t* words) {
            range_rows(shard, st, request, i0, i1, words);
        });
        return;
    }
    std::vector<double> steps(request.projections.size());
    for (size_t j = 0; j < steps.size(); ++j) {
        const Projection& p = request.projections[j];
        // A reversed range would reverse the cells' order: one cell is still monotone.
        steps[j] = p.hi > p.lo ? (p.hi - p.lo) / static_cast<double>(request.projection_bins) : 0.0;
    }
    row_pass(st, request.kind, out, [&](int64_t i0, int64_t i1, int64_t* words) {
        histogram_rows(shard, st, request, n_outputs, steps, i0, i1, words);
    });
}

ProjectionRange read_range(const int64_t* item) {
    ProjectionRange r;
    r.values = item[0];
    r.missing = item[1];
    r.infinite = item[2];
    if (r.values > 0) {
        r.low = key_value(static_cast<uint64_t>(item[3]));
        r.high = key_value(static_cast<uint64_t>(item[4]));
    }
    return r;
}

}  // namespace vorlent
