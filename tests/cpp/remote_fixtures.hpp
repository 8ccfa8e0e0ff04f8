#pragma once
// Row shards for the tests of training on shards: a coordinator over shards in this process,
// and a problem on the awkward table cut into blocks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "boosting/booster.hpp"
#include "boosting/remote_fit.hpp"
#include "boosting/row_shard.hpp"
#include "boosting/train.hpp"
#include "exact_fixtures.hpp"
#include "io/model_bytes.hpp"

namespace vorlent::testing {

// Row shards in this process behind the coordinator's interface: each call asks every
// shard and merges the answers as a coordinator of other processes does.
inline RemoteRows rows_of(std::vector<RowShard>& shards, int32_t n_features, bool weighted,
                          std::vector<RowShard>* val = nullptr) {
    RemoteRows rows;
    rows.n_features = n_features;
    rows.weighted = weighted;
    rows.column_facts = [&shards, n_features] {
        std::vector<ShardedCuts> merged(static_cast<size_t>(n_features));
        for (ShardedCuts& facts : merged) facts.lowest_key = UINT64_MAX;
        for (const RowShard& s : shards) {
            const std::vector<ShardedCuts> part = s.column_facts();
            for (size_t f = 0; f < merged.size(); ++f) merge_facts(merged[f], part[f]);
        }
        return merged;
    };
    rows.distinct = [&shards](const RemoteRows::Columns& columns) {
        std::vector<DistinctValues> merged(columns.size());
        for (size_t j = 0; j < columns.size(); ++j) {
            for (const RowShard& s : shards) {
                merged[j] = merge_distinct(merged[j], s.distinct(columns[j]));
            }
        }
        return merged;
    };
    rows.count_columns = [&shards](const std::vector<int32_t>& columns,
                                   const std::vector<SelectRound>& rounds) {
        std::vector<std::vector<uint64_t>> merged;
        for (const SelectRound& round : rounds) merged.push_back(empty_counts(round));
        for (const RowShard& s : shards) {
            const std::vector<std::vector<uint64_t>> part = s.count_columns(columns, rounds);
            for (size_t j = 0; j < merged.size(); ++j) {
                merge_counts(merged[j].data(), part[j].data(), merged[j].size());
            }
        }
        return merged;
    };
    rows.extremes = [&shards](const std::vector<std::vector<double>>& edges) {
        std::vector<BinExtremes> merged;
        for (const std::vector<double>& e : edges) {
            merged.push_back(BinExtremes{std::vector<uint64_t>(e.size() + 1, UINT64_MAX),
                                         std::vector<uint64_t>(e.size() + 1, 0)});
        }
        for (const RowShard& s : shards) {
            const std::vector<BinExtremes> part = s.extremes(edges);
            for (size_t f = 0; f < merged.size(); ++f) merge_extremes(merged[f], part[f]);
        }
        return merged;
    };
    rows.set_bins = [&shards](const BinnedMatrix& tables) {
        for (RowShard& s : shards) s.set_bins(tables);
    };
    rows.column_bounds = [&shards, n_features] {
        std::vector<double> merged(static_cast<size_t>(n_features), 0.0);
        for (const RowShard& s : shards) {
            const std::vector<double>& part = s.column_bounds();
            for (size_t f = 0; f < merged.size(); ++f) merged[f] = std::max(merged[f], part[f]);
        }
        return merged;
    };
    rows.target_range = [&shards] {
        TargetRange merged;
        for (const RowShard& s : shards) merged.merge(s.target_range());
        return merged;
    };
    rows.start_bounds = [&shards](const TargetRange& range) {
        std::vector<double> merged;
        for (const RowShard& s : shards) {
            const std::vector<double> part = s.start_bounds(range);
            merged.resize(part.size(), 0.0);
            for (size_t f = 0; f < part.size(); ++f) merged[f] = std::max(merged[f], part[f]);
        }
        return merged;
    };
    rows.start_sums = [&shards](const TargetRange& range, const std::vector<double>& bounds) {
        std::vector<ExactSum> merged;
        for (const double bound : bounds) merged.emplace_back(bound);
        for (const RowShard& s : shards) {
            const std::vector<ExactSum> part = s.start_sums(range, bounds);
            for (size_t f = 0; f < merged.size(); ++f) merged[f].add_steps(part[f].steps());
        }
        return merged;
    };
    rows.count_targets = [&shards](const SelectRound& round) {
        std::vector<uint64_t> merged = empty_counts(round);
        for (const RowShard& s : shards) {
            merge_counts(merged.data(), s.count_targets(round).data(), merged.size());
        }
        return merged;
    };
    rows.start = [&shards](const Model& m) {
        for (RowShard& s : shards) s.start(m.n_outputs, m.base_score, m.base_scores);
    };
    rows.source.begin_tree = [&shards](uint64_t key, double subsample) {
        RoundSummary merged;
        for (RowShard& s : shards) merged.merge(s.begin_tree(key, subsample));
        return merged;
    };
    rows.source.fix_gradients = [&shards](const RoundGrids& grids) {
        for (RowShard& s : shards) s.fix_gradients(grids);
    };
    rows.source.stats = [&shards](const StatsRequest& request, std::vector<int64_t>& out) {
        std::vector<int64_t> part;
        for (size_t i = 0; i < shards.size(); ++i) {
            shards[i].stats(request, i == 0 ? out : part);
            if (i > 0) merge_stats(out, part);
        }
    };
    rows.source.route = [&shards](const std::vector<RouteRule>& rules,
                                  const std::vector<int32_t>& rule_of) {
        for (RowShard& s : shards) s.route(rules, rule_of);
    };
    rows.count_abs_residuals = [&shards](const SelectRound& round) {
        std::vector<uint64_t> merged = empty_counts(round);
        for (const RowShard& s : shards) {
            merge_counts(merged.data(), s.count_abs_residuals(round).data(), merged.size());
        }
        return merged;
    };
    rows.set_huber_delta = [&shards](double delta) {
        for (RowShard& s : shards) s.set_huber_delta(delta);
    };
    rows.count_leaf_residuals = [&shards](const std::vector<int32_t>& nodes,
                                          const std::vector<SelectRound>& rounds) {
        std::vector<std::vector<uint64_t>> merged;
        for (const SelectRound& round : rounds) merged.push_back(empty_counts(round));
        for (const RowShard& s : shards) {
            const std::vector<std::vector<uint64_t>> part = s.count_leaf_residuals(nodes, rounds);
            for (size_t j = 0; j < merged.size(); ++j) {
                merge_counts(merged[j].data(), part[j].data(), merged[j].size());
            }
        }
        return merged;
    };
    rows.add_tree = [&shards](const Tree& tree, const std::vector<int32_t>& leaf_of,
                              const Directions& directions) {
        for (RowShard& s : shards) s.add_tree(tree, leaf_of, directions);
    };
    if (val == nullptr) return rows;
    for (const RowShard& s : *val) rows.watch.n_val += s.n_rows();
    rows.val_start = [val](const Model& m) {
        for (RowShard& s : *val) s.start(m.n_outputs, m.base_score, m.base_scores);
    };
    rows.val_add_tree = [val](const Tree& tree, const Directions& directions) {
        for (RowShard& s : *val) s.add_tree(tree, {}, directions);
    };
    rows.val_loss_bound = [val] {
        double bound = 0.0;
        for (const RowShard& s : *val) bound = std::max(bound, s.loss_bound());
        return bound;
    };
    rows.val_loss_sum = [val](double bound) {
        ExactSum sum(bound);
        for (const RowShard& s : *val) sum.add_steps(s.loss_sum(bound).steps());
        return sum;
    };
    return rows;
}

struct Problem {
    AwkwardTable table;
    std::vector<double> y, w;
};

inline Problem problem(int32_t objective, uint32_t seed, int32_t cols = 5) {
    Problem p;
    p.table = awkward_table(600, cols, seed);
    // Bins keep the first of -0.0 and +0.0 in row order, the sharded bins the one first in
    // the total order: one sign of zero keeps the two equal.
    for (double& v : p.table.x) v = v == 0.0 ? 0.0 : v;
    std::mt19937 gen(seed + 1);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::uniform_real_distribution<double> u(0.2, 2.0);
    for (int32_t r = 0; r < p.table.rows; ++r) {
        const double* x = p.table.x.data() + static_cast<int64_t>(r) * cols;
        const double c = x[cols - 1];
        const double score =
            (std::isfinite(x[0]) ? x[0] : 0.5) - (std::isnan(c) ? 1 : c) / 3 + noise(gen);
        p.y.push_back(objective == kRegression ? 3.0 * score
                      : objective == kBinary   ? (score > 0.2 ? 1.0 : 0.0)
                                               : (score < -0.4 ? 0.0 : (score < 0.6 ? 1.0 : 2.0)));
        p.w.push_back(u(gen));
    }
    return p;
}

// The problem's rows in consecutive blocks of the given sizes (the last one takes the rest).
inline std::vector<RowShard> blocks(const Problem& p, const std::vector<int32_t>& sizes,
                                    bool weighted, const Booster& settings) {
    std::vector<RowShard> out;
    const int32_t cols = p.table.cols;
    int32_t at = 0;
    for (size_t i = 0; i <= sizes.size(); ++i) {
        const int32_t end = i < sizes.size() ? at + sizes[i] : p.table.rows;
        out.emplace_back(std::vector<double>(p.table.x.begin() + int64_t{at} * cols,
                                             p.table.x.begin() + int64_t{end} * cols),
                         cols, std::vector<double>(p.y.begin() + at, p.y.begin() + end),
                         weighted ? std::vector<double>(p.w.begin() + at, p.w.begin() + end)
                                  : std::vector<double>{},
                         weighted, at, settings.params);
        at = end;
    }
    return out;
}

inline Booster exact_booster(int32_t objective, const std::function<void(Booster&)>& adjust) {
    Booster b(7, 0.3, 4, 16, 1.0, 10, 1.0, 1.0, 42, objective, 0, 0.7, 0, {}, {}, 0, 1);
    b.params.exact_sums = true;
    adjust(b);
    return b;
}

// A setting of the tests that train on shards and locally.
struct Case {
    std::string name;
    int32_t objective;
    bool weighted = false;
    std::function<void(Booster&)> adjust = [](Booster&) {};
    int32_t cols = 5;  // columns of the table
};

// The in-memory exact fit of a case's problem: the bytes every shard layout must match.
inline std::string local_model_bytes(const Case& c, const Problem& p) {
    Booster local = exact_booster(c.objective, c.adjust);
    const VectorArg w =
        c.weighted ? VectorArg{p.w.data(), static_cast<int64_t>(p.w.size())} : VectorArg{};
    fit(local, p.table.view(), VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())}, w,
        MatrixView{}, VectorArg{}, 0, 0.0);
    return serialize_model(local.model);
}

}  // namespace vorlent::testing
