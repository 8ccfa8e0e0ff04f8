#include "boosting/remote_fit.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

#include "boosting/exact_rounds.hpp"
#include "boosting/fit_state.hpp"
#include "boosting/round_loop.hpp"
#include "common/numeric.hpp"
#include "common/total_order.hpp"
#include "prep/shard_quantile.hpp"

namespace vorlent {

std::vector<uint64_t> select_by_counts(
    const std::vector<uint64_t>& ranks,
    const std::function<std::vector<uint64_t>(const SelectRound&)>& count) {
    RankSelection selection(ranks);
    while (!selection.done()) selection.decide(count(selection.round()));
    std::vector<uint64_t> keys(ranks.size());
    for (size_t i = 0; i < ranks.size(); ++i) keys[i] = selection.key(i);
    return keys;
}

size_t select_group(const std::vector<ShardedCuts>& facts) {
    int64_t widest = 1;
    for (const ShardedCuts& f : facts) widest = std::max(widest, f.n_values);
    return std::max(kSelectColumns, static_cast<size_t>(kSelectKeys / widest));
}

namespace {

// The keys at every plan's ranks: the selections of `group` columns at a time run side by
// side, one message per round for all of them.
std::vector<std::vector<uint64_t>> select_plans(const std::vector<CutPlan>& plans,
                                                size_t group_size, RemoteRows& rows) {
    std::vector<std::vector<uint64_t>> keys(plans.size());
    std::vector<int32_t> waiting;
    for (size_t f = 0; f < plans.size(); ++f) {
        if (!plans[f].ranks.empty()) waiting.push_back(static_cast<int32_t>(f));
    }
    for (size_t g = 0; g < waiting.size(); g += group_size) {
        const std::vector<int32_t> group(waiting.begin() + static_cast<std::ptrdiff_t>(g),
                                         waiting.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                               g + group_size, waiting.size())));
        std::vector<RankSelection> selections;
        for (const int32_t f : group) selections.emplace_back(plans[f].ranks);
        while (true) {
            std::vector<int32_t> columns;
            std::vector<SelectRound> rounds;
            std::vector<size_t> asked;
            for (size_t i = 0; i < group.size(); ++i) {
                if (selections[i].done()) continue;
                columns.push_back(group[i]);
                rounds.push_back(selections[i].round());
                asked.push_back(i);
            }
            if (asked.empty()) break;
            const std::vector<std::vector<uint64_t>> counts = rows.count_columns(columns, rounds);
            if (counts.size() != asked.size()) {
                throw std::invalid_argument("remote bins: one count buffer per column expected");
            }
            for (size_t t = 0; t < asked.size(); ++t) selections[asked[t]].decide(counts[t]);
        }
        for (size_t i = 0; i < group.size(); ++i) {
            std::vector<uint64_t>& out = keys[group[i]];
            for (size_t k = 0; k < plans[group[i]].ranks.size(); ++k) {
                out.push_back(selections[i].key(k));
            }
        }
    }
    return keys;
}

}  // namespace

BinnedMatrix remote_bins(const BoosterParams& params, RemoteRows& rows) {
    const int32_t n = rows.n_features;
    const std::vector<ShardedCuts> facts = rows.column_facts();
    if (static_cast<int32_t>(facts.size()) != n) {
        throw std::invalid_argument("remote bins: one column's facts per feature expected");
    }
    // The categorical columns with values read their distinct values, all in one message.
    RemoteRows::Columns listed;
    for (int32_t f = 0; f < n; ++f) {
        if (params.is_categorical(f) && facts[f].n_values > 0) listed.push_back(f);
    }
    std::vector<DistinctValues> distinct(static_cast<size_t>(n));
    if (!listed.empty()) {
        std::vector<DistinctValues> got = rows.distinct(listed);
        if (got.size() != listed.size()) {
            throw std::invalid_argument("remote bins: one column's distinct values expected");
        }
        for (size_t i = 0; i < listed.size(); ++i) distinct[listed[i]] = std::move(got[i]);
    }
    std::vector<CutPlan> plans;
    for (int32_t f = 0; f < n; ++f) {
        plans.push_back(plan_cuts(
            facts[f], [&] { return distinct[f]; }, params.max_bins, params.is_categorical(f)));
    }
    const std::vector<std::vector<uint64_t>> keys = select_plans(plans, select_group(facts), rows);
    std::vector<ShardedCuts> cuts;
    std::vector<std::vector<double>> edges;
    for (int32_t f = 0; f < n; ++f) {
        cuts.push_back(finish_cuts(std::move(plans[f]), keys[f]));
        edges.push_back(cuts.back().edges);
    }
    const std::vector<BinExtremes> extremes = rows.extremes(edges);
    if (static_cast<int32_t>(extremes.size()) != n) {
        throw std::invalid_argument("remote bins: one column's extremes per feature expected");
    }
    BinnedMatrix tables;
    tables.edges = std::move(edges);
    tables.bin_low.resize(n);
    tables.bin_high.resize(n);
    tables.has_missing.assign(n, false);
    int32_t widest = 0;
    for (int32_t f = 0; f < n; ++f) {
        bin_bounds(cuts[f], extremes[f], tables.bin_low[f], tables.bin_high[f]);
        tables.has_missing[f] = cuts[f].has_missing;
        widest = std::max(widest, static_cast<int32_t>(tables.bin_low[f].size()));
    }
    tables.narrow = params.max_bins <= kMaxNarrowBins && widest <= kMaxNarrowBins;
    return tables;
}

namespace {

// Every column's bound for the lineage builder, as the shards report it merged.
std::vector<double> remote_column_bounds(RemoteRows& rows) {
    std::vector<double> bound = rows.column_bounds();
    const bool fits =
        static_cast<int32_t>(bound.size()) == rows.n_features &&
        std::all_of(bound.begin(), bound.end(), [](double v) { return v >= 0.0 && v < kInf; });
    if (!fits) {
        throw std::invalid_argument(
            "remote fit: column bounds must be one finite value >= 0 per feature");
    }
    return bound;
}

// A tree as the shards take it: its projection nodes pointing into its own directions (the
// model's from `first` on, which its growth appended), not into the model's list.
struct TreeDirections {
    Tree tree;
    Directions directions;
};
TreeDirections tree_directions(const Tree& tree, const Directions& model_directions, size_t first) {
    TreeDirections out{tree, {}};
    if (model_directions.size() == first) return out;
    out.directions.assign(model_directions.begin() + static_cast<std::ptrdiff_t>(first),
                          model_directions.end());
    for (Node& node : out.tree) {
        if (node.projection >= 0) node.projection -= static_cast<int32_t>(first);
    }
    return out;
}

}  // namespace

namespace {

// fit_remote once the previous model is moved out: a new model in b.model, which starts
// from `previous`'s start scores as fit's does.
void fit_remote_model(Booster& b, const Model& previous, RemoteRows& rows) {
    const BoosterParams& p = b.params;
    const BinnedMatrix tables = remote_bins(p, rows);
    rows.set_bins(tables);
    const std::vector<double> column_bound =
        p.max_lineage >= 1 ? remote_column_bounds(rows) : std::vector<double>{};

    Model& m = b.model;
    m = new_model(p, previous);
    const TargetRange range = rows.target_range();
    const std::vector<double> bounds = rows.start_bounds(range);
    const std::vector<ExactSum> sums = rows.start_sums(range, bounds);
    decide_start(m, p, range, rows.weighted, sums, [&](uint64_t rank) {
        return key_value(select_by_counts({rank}, rows.count_targets)[0]);
    });
    const TreeParams tree_settings =
        tree_params(p, m, std::vector<double>(static_cast<size_t>(rows.n_features), 1.0));
    open_new_model(b, rows.n_features);

    const RoundWatch& watch = rows.watch;
    const bool track_val = watch.scores_validation();
    rows.start(m);
    if (track_val) rows.val_start(m);

    std::vector<ShardSource> sources{rows.source};
    LevelWorkspace ws;
    const bool huber = p.objective == kRegression && p.loss == kHuber;
    const bool quantile = p.objective == kRegression && p.loss == kQuantile;
    RoundSteps steps;
    steps.grow = [&] {
        if (huber) {
            double delta = 0.0;
            if (range.n > 0) {
                const uint64_t rank = huber_threshold_rank(range.n, p.alpha);
                delta = key_value(select_by_counts({rank}, rows.count_abs_residuals)[0]);
            }
            rows.set_huber_delta(delta);
        }
        const size_t first_direction = m.projections.size();
        ExactTree grown = grow_exact_round(p, tree_settings, m, tables, column_bound, sources, ws);
        if (quantile) refit_quantile_leaves(p.alpha, grown, rows.count_leaf_residuals);
        const TreeDirections sent = tree_directions(grown.tree, m.projections, first_direction);
        rows.add_tree(sent.tree, grown.tree_index, sent.directions);
        if (track_val) rows.val_add_tree(sent.tree, sent.directions);
        append_exact_tree(m, grown);
    };
    steps.validation_loss = [&] {
        // The validation loss summed exactly, as the in-memory exact fit's.
        return rows.val_loss_sum(rows.val_loss_bound()).value() /
               static_cast<double>(watch.n_val > 1 ? watch.n_val : 1);
    };
    std::vector<double> val;  // the observer's view of the last round
    steps.scores = [&](int32_t round) {
        val.clear();
        if (track_val) val = rows.val_scores();
        const auto n_val = static_cast<int32_t>(track_val ? watch.n_val : 0);
        if (static_cast<int64_t>(val.size()) != int64_t{n_val} * m.n_outputs) {
            throw std::invalid_argument("validation scores of the wrong size");
        }
        return RoundScores{round, nullptr, 0, track_val ? val.data() : nullptr, n_val,
                           m.n_outputs};
    };
    RoundLoop(b, watch).run(p.n_estimators, steps);
}

}  // namespace

void fit_remote(Booster& b, RemoteRows& rows) {
    check_hyper_parameters(b.params, rows.n_features);
    FitRollback rollback(b, true);
    rollback.guard(b, [&] { fit_remote_model(b, rollback.previous(), rows); });
}

}  // namespace vorlent
