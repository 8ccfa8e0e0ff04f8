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

// The cell of a projected value v (not NaN); inline here for the pass below.
inline int32_t cell_of(double v, double lo, double scale, int32_t bins) {
    return clamp_bin((v - lo) * scale, bins);
}

// How a pass reads the values: the columns that every node's pair-form and terms-form
// projections read, gathered a run of rows at a time, column by column (each column once
// per run however many projections read it), so that a projection's values form down the
// run's rows, each row's by the very operations of projected_value. The categorical form
// reads its rows directly.
struct ColumnPlan {
    std::vector<int32_t> column_begin;  // node t's columns: columns[column_begin[t] ..]
    std::vector<int32_t> columns;
    std::vector<int32_t> term_begin;  // per projection, then one more: its places (pair form:
    std::vector<int32_t> places;      // a, b; terms form: one per term) in its node's list;
                                      // none for the categorical form
    int32_t most = 0;                 // the most columns of a node
};

ColumnPlan column_plan(const StatsRequest& request) {
    ColumnPlan plan;
    plan.column_begin.push_back(0);
    plan.term_begin.push_back(0);
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
            if (p.form == kPairForm) {
                plan.places.push_back(place(p.feature_a));
                plan.places.push_back(place(p.feature_b));
            } else if (p.form == kTermsForm) {
                for (const int32_t f : p.features) plan.places.push_back(place(f));
            }
            plan.term_begin.push_back(static_cast<int32_t>(plan.places.size()));
        }
        plan.column_begin.push_back(static_cast<int32_t>(plan.columns.size()));
        plan.most = std::max(plan.most, plan.column_begin.back() - plan.column_begin[t]);
    }
    return plan;
}

// A run of one node's rows: gradients, rows and gathered columns.
struct Run {
    int64_t m = 0;
    int64_t wg[kNodeRunRows], wh[kNodeRunRows];
    const double* rows[kNodeRunRows];
    std::vector<double> x;  // place c's values at c * kNodeRunRows
    // Per row, for the projection at hand: its value and whether it has one.
    double value[kNodeRunRows];
    uint8_t present[kNodeRunRows];

    const double* column(int32_t place) const { return x.data() + int64_t{place} * kNodeRunRows; }
};

// Projection j's value on every row of the run (projected_value's, row by row).
void run_values(const Projection& p, const int32_t* places, Run& run) {
    const int64_t m = run.m;
    if (p.form == kPairForm) {
        const double *xa = run.column(places[0]), *xb = run.column(places[1]);
        const double ca = p.coef_a, cb = p.coef_b;
        for (int64_t j = 0; j < m; ++j) {
            const double a = xa[j], b = xb[j];
            run.value[j] = cb * b + ca * a;  // as pair_value forms it
            run.present[j] = (a != a || b != b) ? 0 : 1;
        }
        return;
    }
    if (p.form == kTermsForm) {
        for (int64_t j = 0; j < m; ++j) {
            run.value[j] = p.start;
            run.present[j] = 1;
        }
        for (size_t e = 0; e < p.features.size(); ++e) {
            const double c = p.coefs[e];
            if (c == 0.0) continue;
            const double* x = run.column(places[e]);
            for (int64_t j = 0; j < m; ++j) {
                run.present[j] &= x[j] == x[j] ? 1 : 0;
                run.value[j] += x[j] * c;
            }
        }
        return;
    }
    for (int64_t j = 0; j < m; ++j) {
        double v = 0.0;
        run.present[j] = projected_value(p, run.rows[j], v) ? 1 : 0;
        run.value[j] = v;
    }
}

// Adds a run's values to a range item.
void add_range(const Run& run, int64_t* item) {
    for (int64_t j = 0; j < run.m; ++j) {
        const double v = run.value[j];
        if (run.present[j] == 0) {
            item[1] += 1;
        } else if (!std::isfinite(v)) {
            item[2] += 1;
        } else {
            item[0] += 1;
            note_key(item + 3, v);
        }
    }
}

// Adds a run's rows to a histogram item's cells.
void add_cells(const Run& run, double lo, double scale, int32_t bins, int64_t* item) {
    for (int64_t j = 0; j < run.m; ++j) {
        const double v = run.value[j];
        const int64_t cell =
            run.present[j] == 0 ? bins + 1 : (v != v ? bins : cell_of(v, lo, scale, bins));
        int64_t* c = item + kProjectedCellWords * cell;
        c[0] += run.wg[j];
        c[1] += run.wh[j];
        c[2] += 1;
        if (cell < bins) note_key(c + 3, v);
    }
}

// The bag rows [i0, i1) node by node, in runs of at most kNodeRunRows rows, each run
// projection by projection, so that one projection's words stay in cache while its rows
// add up.
void projection_rows(const ShardRows& shard, const ShardTree& st, const StatsRequest& request,
                     int32_t k, const std::vector<double>& scales, const ColumnPlan& plan,
                     int64_t i0, int64_t i1, int64_t* words) {
    const bool ranges = request.kind == kProjectionRanges;
    const int32_t bins = request.projection_bins;
    const int64_t item_words = projection_item_words(request.kind, bins);
    std::vector<int64_t> begin;
    std::vector<int32_t> order;
    rows_by_node(st, request, i0, i1, begin, order);
    Run run;
    run.x.resize(static_cast<size_t>(plan.most) * kNodeRunRows);
    for (size_t t = 0; t < request.nodes.size(); ++t) {
        const auto node = static_cast<int32_t>(t);
        const int32_t* columns = plan.columns.data() + plan.column_begin[t];
        const int32_t n_columns = plan.column_begin[t + 1] - plan.column_begin[t];
        for (int64_t r = begin[t]; r < begin[t + 1]; r += kNodeRunRows) {
            run.m = std::min<int64_t>(kNodeRunRows, begin[t + 1] - r);
            for (int64_t j = 0; j < run.m; ++j) {
                const int32_t i = order[r + j];
                if (!ranges) row_gradient(st, i, k, request, node, run.wg[j], run.wh[j]);
                const double* row = shard.X.row(st.bag[i]);
                run.rows[j] = row;
                for (int32_t c = 0; c < n_columns; ++c) {
                    run.x[static_cast<size_t>(c) * kNodeRunRows + j] = row[columns[c]];
                }
            }
            for (int32_t p = request.item_begin[t]; p < request.item_begin[t + 1]; ++p) {
                const Projection& proj = request.projections[p];
                run_values(proj, plan.places.data() + plan.term_begin[p], run);
                int64_t* item = words + item_words * p;
                if (ranges) {
                    add_range(run, item);
                } else {
                    add_cells(run, proj.lo, scales[p], bins, item);
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
    std::vector<double> scales(request.projections.size());
    for (size_t j = 0; j < scales.size() && request.kind == kProjectedHistograms; ++j) {
        const Projection& p = request.projections[j];
        // An empty or reversed range scales by +inf: values below lo, at lo and above it
        // fall in the first, first and last cells, still in their order.
        scales[j] = p.hi > p.lo ? static_cast<double>(request.projection_bins) / (p.hi - p.lo)
                                : std::numeric_limits<double>::infinity();
    }
    const ColumnPlan plan = column_plan(request);
    row_pass(st, request.kind, out, [&](int64_t i0, int64_t i1, int64_t* words) {
        projection_rows(shard, st, request, n_outputs, scales, plan, i0, i1, words);
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
