#include "module/remote_rows.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/numeric.hpp"
#include "module/bin_messages.hpp"
#include "module/shard_wire.hpp"
#include "module/tree_messages.hpp"

namespace vorlent::binding {
namespace {

// A statistics request that the builder expects to make (ShardSource::expect): it travels
// with the next request sent, and its merged answer waits here for the builder's ask, as long
// as no message that changes the shards (routing, a new tree) went out in between.
struct AheadStats {
    std::optional<StatsRequest> expected;  // to send with the next request
    std::optional<StatsRequest> fetched;   // sent: `merged` holds its answer
    int64_t posts = 0;                     // the caller's posts when it was sent
    std::vector<int64_t> merged;
};

// Whether two requests ask for the same statistics. Only requests without items (sums and
// bin histograms) are expected, and these fields say all of theirs.
bool same_request(const StatsRequest& a, const StatsRequest& b) {
    return a.kind == b.kind && (a.kind == kOutputSums || a.kind == kBinHistograms) &&
           a.nodes == b.nodes && a.node_ids == b.node_ids && a.first_output == b.first_output &&
           a.second_output == b.second_output;
}

// The shards' statistics for one request, merged into out.
void merge_answers(const py::list& answers, std::vector<int64_t>& out) {
    bool first = true;
    std::vector<int64_t> part;
    for (const py::handle h : answers) {
        unpack_answer(h, part);
        if (first) {
            out.swap(part);
            first = false;
        } else {
            merge_stats(out, part);
        }
    }
}

std::vector<uint64_t> merged_counts(const py::list& answers, const SelectRound& round) {
    std::vector<uint64_t> merged = empty_counts(round);
    for (const py::handle h : answers) {
        const std::vector<uint64_t> part = unpacked_counts(h);
        if (part.size() != merged.size()) fail("shard message: count buffer of the wrong size");
        merge_counts(merged.data(), part.data(), merged.size());
    }
    return merged;
}

// The validation shards' raw scores put in their rows' global order: every row of 0 ..
// n_val - 1 exactly once.
std::vector<double> gathered_scores(const py::list& answers, int64_t n_val) {
    std::vector<double> out;
    std::vector<uint8_t> seen(static_cast<size_t>(n_val), 0);
    int64_t k = 0;
    for (const py::handle h : answers) {
        const auto t = h.cast<py::tuple>();
        const std::vector<int64_t> rows = from_numpy<int64_t>(t[0]);
        const std::vector<double> scores = from_numpy<double>(t[1]);
        const int64_t outputs = rows.empty() ? k : static_cast<int64_t>(scores.size() / rows.size());
        if (k == 0 && outputs > 0) {
            k = outputs;
            out.assign(static_cast<size_t>(n_val * k), 0.0);
        }
        if (static_cast<int64_t>(scores.size()) != static_cast<int64_t>(rows.size()) * k) {
            fail("shard message: scores of the wrong size");
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            const int64_t r = rows[i];
            if (r < 0 || r >= n_val || seen[r]) fail("shard message: a validation row twice");
            seen[r] = 1;
            std::copy_n(scores.data() + static_cast<int64_t>(i) * k, k, out.data() + r * k);
        }
    }
    if (std::count(seen.begin(), seen.end(), uint8_t{1}) != n_val) {
        fail("shard message: validation rows missing");
    }
    return out;
}

// Answers that hold one count buffer per round, merged round by round.
std::vector<std::vector<uint64_t>> merged_count_lists(const py::list& answers,
                                                      const std::vector<SelectRound>& rounds) {
    std::vector<std::vector<uint64_t>> merged;
    for (const SelectRound& round : rounds) merged.push_back(empty_counts(round));
    for (const py::handle h : answers) {
        const auto parts = h.cast<py::list>();
        if (parts.size() != merged.size()) fail("shard message: counts for other selections");
        for (size_t j = 0; j < merged.size(); ++j) {
            const std::vector<uint64_t> part = unpacked_counts(parts[j]);
            if (part.size() != merged[j].size()) fail("shard message: counts of wrong size");
            merge_counts(merged[j].data(), part.data(), part.size());
        }
    }
    return merged;
}

}  // namespace

RemoteRows remote_rows(ShardCaller& shards, ShardCaller& val, int32_t n_features, bool weighted,
                       int64_t n_val) {
    RemoteRows rows;
    rows.watch.n_val = n_val;
    rows.n_features = n_features;
    rows.weighted = weighted;
    // The targets' range does not change: it travels with the columns' facts, the first
    // message, and waits for its turn.
    auto range_ahead = std::make_shared<std::optional<TargetRange>>();
    rows.column_facts = [&shards, n_features, range_ahead] {
        py::gil_scoped_acquire held;
        std::vector<ShardedCuts> merged(static_cast<size_t>(n_features));
        for (ShardedCuts& facts : merged) facts.lowest_key = UINT64_MAX;
        const std::vector<py::list> answers = shards.several(
            {ShardCaller::message("column_facts"), ShardCaller::message("target_range")});
        TargetRange range;
        for (const py::handle h : answers[1]) range.merge(decode_range(h));
        *range_ahead = range;
        for (const py::handle h : answers[0]) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != merged.size()) fail("shard message: facts of other columns");
            for (size_t f = 0; f < merged.size(); ++f) {
                merge_facts(merged[f], decode_facts(parts[f]));
            }
        }
        return merged;
    };
    rows.distinct = [&shards](const RemoteRows::Columns& columns) {
        py::gil_scoped_acquire held;
        std::vector<DistinctValues> merged(columns.size());
        for (const py::handle h : shards.all("distinct", to_numpy(columns))) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != merged.size()) fail("shard message: values of other columns");
            for (size_t j = 0; j < merged.size(); ++j) {
                merged[j] =
                    merge_distinct(merged[j], DistinctValues{from_numpy<uint64_t>(parts[j])});
            }
        }
        return merged;
    };
    rows.count_columns = [&shards](const std::vector<int32_t>& columns,
                                   const std::vector<SelectRound>& rounds) {
        py::gil_scoped_acquire held;
        py::list encoded;
        for (const SelectRound& round : rounds) encoded.append(encode(round));
        return merged_count_lists(shards.all("count_columns", to_numpy(columns), encoded),
                                  rounds);
    };
    rows.extremes = [&shards](const std::vector<std::vector<double>>& edges) {
        py::gil_scoped_acquire held;
        std::vector<BinExtremes> merged(edges.size());
        py::list encoded;
        for (size_t f = 0; f < edges.size(); ++f) {
            merged[f].low.assign(edges[f].size() + 1, UINT64_MAX);
            merged[f].high.assign(edges[f].size() + 1, 0);
            encoded.append(to_numpy(edges[f]));
        }
        for (const py::handle h : shards.all("extremes", encoded)) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != merged.size()) fail("shard message: extremes of other columns");
            for (size_t f = 0; f < merged.size(); ++f) {
                const auto t = parts[f].cast<py::tuple>();
                const BinExtremes part{from_numpy<uint64_t>(t[0]), from_numpy<uint64_t>(t[1])};
                if (part.low.size() != merged[f].low.size() ||
                    part.high.size() != merged[f].low.size()) {
                    fail("shard message: bin extremes of the wrong size");
                }
                merge_extremes(merged[f], part);
            }
        }
        return merged;
    };
    rows.set_bins = [&shards](const BinnedMatrix& tables) {
        py::gil_scoped_acquire held;
        shards.post("set_bins", encode(tables));
    };
    rows.column_bounds = [&shards, n_features] {
        py::gil_scoped_acquire held;
        std::vector<double> merged(static_cast<size_t>(n_features), 0.0);
        for (const py::handle h : shards.all("column_bounds")) {
            const std::vector<double> part = from_numpy<double>(h);
            if (part.size() != merged.size()) fail("shard message: bounds of other columns");
            for (size_t f = 0; f < part.size(); ++f) {
                if (!(part[f] >= 0.0 && part[f] < kInf))
                    fail("shard message: a bound out of range");
                merged[f] = std::max(merged[f], part[f]);
            }
        }
        return merged;
    };
    rows.target_range = [&shards, range_ahead] {
        if (range_ahead->has_value()) return **range_ahead;
        py::gil_scoped_acquire held;
        TargetRange merged;
        for (const py::handle h : shards.all("target_range")) merged.merge(decode_range(h));
        return merged;
    };
    rows.start_bounds = [&shards](const TargetRange& range) {
        py::gil_scoped_acquire held;
        std::vector<double> merged;
        for (const py::handle h : shards.all("start_bounds", encode(range))) {
            const auto part = h.cast<std::vector<double>>();
            if (merged.empty()) merged.assign(part.size(), 0.0);
            if (part.size() != merged.size()) fail("shard message: bounds of the wrong size");
            for (size_t f = 0; f < part.size(); ++f) merged[f] = std::max(merged[f], part[f]);
        }
        return merged;
    };
    rows.start_sums = [&shards](const TargetRange& range, const std::vector<double>& bounds) {
        py::gil_scoped_acquire held;
        std::vector<ExactSum> merged;
        for (const double bound : bounds) merged.emplace_back(bound);
        for (const py::handle h : shards.all("start_sums", encode(range), bounds)) {
            const auto part = h.cast<py::list>();
            if (part.size() != merged.size()) fail("shard message: sums of the wrong size");
            for (size_t f = 0; f < merged.size(); ++f) merged[f].add_steps(decode_steps(part[f]));
        }
        return merged;
    };
    rows.count_targets = [&shards](const SelectRound& round) {
        py::gil_scoped_acquire held;
        return merged_counts(shards.all("count_targets", encode(round)), round);
    };
    rows.start = [&shards](const Model& model) {
        py::gil_scoped_acquire held;
        shards.post("start", model.n_outputs, model.base_score, model.base_scores);
    };
    rows.source.begin_tree = [&shards](uint64_t bag_key, double subsample) {
        py::gil_scoped_acquire held;
        RoundSummary merged;
        for (const py::handle h : shards.all("begin_tree", bag_key, subsample)) {
            merged.merge(decode_summary(h));
        }
        return merged;
    };
    rows.source.fix_gradients = [&shards](const RoundGrids& grids) {
        py::gil_scoped_acquire held;
        shards.post("fix_gradients", grids.grad.exponent, grids.hess.exponent);
    };
    auto ahead = std::make_shared<AheadStats>();
    rows.source.expect = [ahead](const StatsRequest& request) {
        ahead->expected = request;
        ahead->fetched.reset();
    };
    rows.source.stats = [&shards, ahead](const StatsRequest& request, std::vector<int64_t>& out) {
        py::gil_scoped_acquire held;
        if (ahead->fetched && ahead->posts == shards.posts() &&
            same_request(*ahead->fetched, request)) {
            out.swap(ahead->merged);
            ahead->fetched.reset();
            return;
        }
        ahead->fetched.reset();
        if (!ahead->expected || same_request(*ahead->expected, request)) {
            ahead->expected.reset();
            merge_answers(shards.all("stats", encode(request)), out);
            return;
        }
        StatsRequest next = std::move(*ahead->expected);
        ahead->expected.reset();
        const std::vector<py::list> answers =
            shards.several({ShardCaller::message("stats", encode(request)),
                            ShardCaller::message("stats", encode(next))});
        merge_answers(answers[0], out);
        merge_answers(answers[1], ahead->merged);
        ahead->fetched = std::move(next);
        ahead->posts = shards.posts();
    };
    rows.source.route = [&shards](const std::vector<RouteRule>& rules,
                                  const std::vector<int32_t>& rule_of) {
        py::gil_scoped_acquire held;
        shards.post("route", encode(rules), to_numpy(rule_of));
    };
    rows.count_abs_residuals = [&shards](const SelectRound& round) {
        py::gil_scoped_acquire held;
        return merged_counts(shards.all("count_abs_residuals", encode(round)), round);
    };
    rows.set_huber_delta = [&shards](double delta) {
        py::gil_scoped_acquire held;
        shards.post("set_huber_delta", delta);
    };
    rows.count_leaf_residuals = [&shards](const std::vector<int32_t>& nodes,
                                          const std::vector<SelectRound>& rounds) {
        py::gil_scoped_acquire held;
        py::list encoded;
        for (const SelectRound& round : rounds) encoded.append(encode(round));
        return merged_count_lists(shards.all("count_leaf_residuals", to_numpy(nodes), encoded),
                                  rounds);
    };
    rows.val_start = [&val](const Model& model) {
        py::gil_scoped_acquire held;
        val.post("start", model.n_outputs, model.base_score, model.base_scores);
    };
    rows.val_add_tree = [&val](const Tree& tree, const Directions& directions) {
        py::gil_scoped_acquire held;
        val.post("add_tree", encode(tree), py::none(), encode(directions));
    };
    rows.val_loss_bound = [&val] {
        py::gil_scoped_acquire held;
        double bound = 0.0;
        for (const py::handle h : val.all("loss_bound")) bound = std::max(bound, h.cast<double>());
        return bound;
    };
    rows.val_loss_sum = [&val](double bound) {
        py::gil_scoped_acquire held;
        ExactSum sum(bound);
        for (const py::handle h : val.all("loss_sum", bound)) sum.add_steps(decode_steps(h));
        return sum;
    };
    rows.add_tree = [&shards](const Tree& tree, const std::vector<int32_t>& leaf_of,
                              const Directions& directions) {
        py::gil_scoped_acquire held;
        shards.post("add_tree", encode(tree), to_numpy(leaf_of), encode(directions));
    };
    rows.val_scores = [&val, n_val] {
        py::gil_scoped_acquire held;
        return gathered_scores(val.all("raw_scores"), n_val);
    };
    return rows;
}

}  // namespace vorlent::binding
