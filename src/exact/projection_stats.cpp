#include "exact/projection_stats.hpp"

#include <algorithm>
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

// The cell of a projected value v (not NaN); inline here for the pass below.
inline int32_t cell_of(double v, double lo, double scale, int32_t bins) {
    return clamp_bin((v - lo) * scale, bins);
}

// How a histogram pass reads the values: the columns of every node's pair-form projections,
// gathered a run of rows at a time, column by column (each column once per run however many
// projections read it); the other forms read their rows directly.
struct ColumnPlan {
    std::vector<int32_t> column_begin;  // node t's columns: columns[column_begin[t] ..]
    std::vector<int32_t> columns;
    std::vector<int32_t> at_a, at_b;  // per projection: its columns' places in its node's
                                      // list, or -1 when it is not of the pair form
    int32_t most = 0;                 // the most columns of a node
};

ColumnPlan column_plan(const StatsRequest& request) {
    ColumnPlan plan;
    plan.at_a.assign(request.projections.size(), -1);
    plan.at_b.assign(request.projections.size(), -1);
    plan.column_begin.push_back(0);
    for (size_t t = 0; t < request.nodes.size(); ++t) {
        const auto start = static_cast<int32_t>(plan.columns.size());
        auto place = [&](int32_t f) {
            for (auto c = static_cast<size_t>(start); c < plan.columns.size(); ++c) {
                if (plan.columns[c] == f) return static_cast<int32_t>(c) - start;
            }
            plan.columns.push_back(f);
            return static_cast<int32_t>(plan.columns.size()) - 1 - start;
        };
        for (int32_t j = request.item_begin[t]; j < request.item_begin[t + 1]; ++j) {
            const Projection& p = request.projections[j];
            if (p.form != kPairForm) continue;
            plan.at_a[j] = place(p.feature_a);
            plan.at_b[j] = place(p.feature_b);
        }
        plan.column_begin.push_back(static_cast<int32_t>(plan.columns.size()));
        plan.most = std::max(plan.most, plan.column_begin.back() - plan.column_begin[t]);
    }
    return plan;
}

// The cell of each row of a run for projection j (bins: a NaN value, bins + 1: a value
// missing), with its value: from the gathered columns for the pair form, else row by row.
void run_cells(const Projection& p, int32_t bins, double scale, const double* xa,
               const double* xb, const double* const* rows, int64_t m, int64_t* cell,
               double* value) {
    if (xa != nullptr) {
        const double ca = p.coef_a, cb = p.coef_b;
        for (int64_t j = 0; j < m; ++j) {
            const double a = xa[j], b = xb[j];
            const double v = cb * b + ca * a;  // as pair_value forms it
            value[j] = v;
            cell[j] = (a != a || b != b) ? bins + 1
                                         : (v != v ? bins : cell_of(v, p.lo, scale, bins));
        }
        return;
    }
    for (int64_t j = 0; j < m; ++j) {
        double v = 0.0;
        const bool present = projected_value(p, rows[j], v);
        value[j] = v;
        cell[j] = !present ? bins + 1 : (std::isnan(v) ? bins : cell_of(v, p.lo, scale, bins));
    }
}

// The bag rows [i0, i1) node by node, in runs of at most kNodeRunRows rows, each run
// projection by projection, so that one projection's cells stay in cache while its rows
// add up.
void histogram_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                    int32_t k, const std::vector<double>& scales, const ColumnPlan& plan,
                    int64_t i0, int64_t i1, int64_t* words) {
    const int32_t bins = request.projection_bins;
    const int64_t item_words = kProjectedCellWords * (int64_t{bins} + 2);
    std::vector<int64_t> begin;
    std::vector<int32_t> order;
    rows_by_node(st, request, i0, i1, begin, order);
    std::vector<double> x(static_cast<size_t>(plan.most) * kNodeRunRows);
    int64_t wg[kNodeRunRows], wh[kNodeRunRows], cell[kNodeRunRows];
    double value[kNodeRunRows];
    const double* rows[kNodeRunRows];
    for (size_t t = 0; t < request.nodes.size(); ++t) {
        const auto node = static_cast<int32_t>(t);
        const int32_t* columns = plan.columns.data() + plan.column_begin[t];
        const int32_t n_columns = plan.column_begin[t + 1] - plan.column_begin[t];
        for (int64_t r = begin[t]; r < begin[t + 1]; r += kNodeRunRows) {
            const int64_t m = std::min<int64_t>(kNodeRunRows, begin[t + 1] - r);
            for (int64_t j = 0; j < m; ++j) {
                const int32_t i = order[r + j];
                row_gradient(st, i, k, request, node, wg[j], wh[j]);
                rows[j] = shard.X->row(st.bag[i]);
                for (int32_t c = 0; c < n_columns; ++c) {
                    x[static_cast<size_t>(c) * kNodeRunRows + j] = rows[j][columns[c]];
                }
            }
            for (int32_t p = request.item_begin[t]; p < request.item_begin[t + 1]; ++p) {
                const bool gathered = plan.at_a[p] >= 0;
                const double* xa = gathered ? x.data() + int64_t{plan.at_a[p]} * kNodeRunRows
                                            : nullptr;
                const double* xb = gathered ? x.data() + int64_t{plan.at_b[p]} * kNodeRunRows
                                            : nullptr;
                run_cells(request.projections[p], bins, scales[p], xa, xb, rows, m, cell, value);
                int64_t* item = words + item_words * p;
                for (int64_t j = 0; j < m; ++j) {
                    int64_t* c = item + kProjectedCellWords * cell[j];
                    c[0] += wg[j];
                    c[1] += wh[j];
                    c[2] += 1;
                    if (cell[j] < bins) note_key(c + 3, value[j]);
                }
            }
        }
    }
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

int32_t projected_cell(double v, double lo, double scale, int32_t bins) {
    return cell_of(v, lo, scale, bins);
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
    std::vector<double> scales(request.projections.size());
    for (size_t j = 0; j < scales.size(); ++j) {
        const Projection& p = request.projections[j];
        // An empty or reversed range scales by +inf: values below lo, at lo and above it
        // fall in the first, first and last cells, still in their order.
        scales[j] = p.hi > p.lo ? static_cast<double>(request.projection_bins) / (p.hi - p.lo)
                                : std::numeric_limits<double>::infinity();
    }
    const ColumnPlan plan = column_plan(request);
    row_pass(st, request.kind, out, [&](int64_t i0, int64_t i1, int64_t* words) {
        histogram_rows(shard, st, request, n_outputs, scales, plan, i0, i1, words);
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
