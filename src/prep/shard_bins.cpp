#include "prep/shard_bins.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

#include "common/numeric.hpp"
#include "common/total_order.hpp"
#include "prep/binning.hpp"
#include "prep/cut_rule.hpp"
#include "prep/shard_select.hpp"
#include "prep/sort_keys.hpp"

namespace vorlent {
namespace {

constexpr uint64_t kNoKey = std::numeric_limits<uint64_t>::max();
constexpr size_t kDistinctCap = kMaxCategoryBins + 1;

// Sorted distinct keys with -0.0 and +0.0 taken as one value (the smaller key, -0.0, when
// both are there), cut to the cap.
void settle_distinct(std::vector<uint64_t>& keys) {
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    const auto plus_zero = std::lower_bound(keys.begin(), keys.end(), sort_key(0.0));
    if (plus_zero != keys.begin() && plus_zero != keys.end() && *plus_zero == sort_key(0.0) &&
        *std::prev(plus_zero) == sort_key(-0.0)) {
        keys.erase(plus_zero);
    }
    if (keys.size() > kDistinctCap) keys.resize(kDistinctCap);
}

// One shard's non-NaN values as keys, and how many NaN it holds.
struct ShardKeys {
    std::vector<uint64_t> keys;
    int64_t missing = 0;
};

ShardKeys shard_keys(const ColumnShard& shard) {
    ShardKeys out;
    out.keys.reserve(static_cast<size_t>(shard.n));
    for (int64_t r = 0; r < shard.n; ++r) {
        const double v = shard.values[r];
        if (std::isnan(v)) {
            ++out.missing;
        } else {
            out.keys.push_back(sort_key(v));
        }
    }
    return out;
}

// The rank below the fraction's position and the one above it (the same at the top).
std::pair<int64_t, int64_t> ranks_around(double fraction, int64_t n) {
    const int64_t j = lower_position(rank_at(fraction, n), n);
    return {j, std::min(j + 1, n - 1)};
}

}  // namespace

bool DistinctValues::too_many() const {
    return keys.size() > static_cast<size_t>(kMaxCategoryBins);
}

DistinctValues distinct_values(const ColumnShard& shard) {
    DistinctValues out;
    for (int64_t r = 0; r < shard.n; ++r) {
        if (!std::isnan(shard.values[r])) out.keys.push_back(sort_key(shard.values[r]));
    }
    std::vector<uint64_t> spare(out.keys.size());
    const uint64_t* sorted = sort_keys(out.keys.data(), spare.data(), std::ssize(out.keys));
    if (sorted != out.keys.data()) out.keys.swap(spare);
    settle_distinct(out.keys);
    return out;
}

DistinctValues merge_distinct(const DistinctValues& a, const DistinctValues& b) {
    DistinctValues out;
    std::set_union(a.keys.begin(), a.keys.end(), b.keys.begin(), b.keys.end(),
                   std::back_inserter(out.keys));
    settle_distinct(out.keys);
    return out;
}

ShardedCuts column_facts(const ColumnShard& shard) {
    ShardedCuts out;
    out.lowest_key = kNoKey;
    out.highest_key = 0;
    for (int64_t r = 0; r < shard.n; ++r) {
        const double v = shard.values[r];
        if (std::isnan(v)) {
            out.has_missing = true;
            continue;
        }
        const uint64_t key = sort_key(v);
        ++out.n_values;
        out.lowest_key = std::min(out.lowest_key, key);
        out.highest_key = std::max(out.highest_key, key);
    }
    return out;
}

void merge_facts(ShardedCuts& into, const ShardedCuts& from) {
    into.has_missing = into.has_missing || from.has_missing;
    into.n_values += from.n_values;
    into.lowest_key = std::min(into.lowest_key, from.lowest_key);
    into.highest_key = std::max(into.highest_key, from.highest_key);
}

CutPlan plan_cuts(ShardedCuts facts, const DistinctSource& distinct, int32_t max_bins,
                  bool categorical) {
    CutPlan plan;
    plan.cuts = std::move(facts);
    ShardedCuts& out = plan.cuts;
    out.edges.clear();
    if (out.n_values == 0) return plan;

    if (categorical) {
        const DistinctValues values = distinct();
        if (!values.too_many()) {
            for (size_t k = 0; k + 1 < values.keys.size(); ++k) {
                out.edges.push_back(
                    cut_between(key_value(values.keys[k]), key_value(values.keys[k + 1])));
            }
            return plan;
        }
    }
    plan.fractions = categorical ? category_fractions(kMaxCategoryBins)
                                 : ordinary_fractions(max_bins, out.has_missing);
    if (out.n_values == 1) {
        out.edges.assign(plan.fractions.size(), key_value(out.lowest_key));
        sort_unique(out.edges);
        return plan;
    }
    for (const double t : plan.fractions) {
        const auto [below, above] = ranks_around(t, out.n_values);
        plan.ranks.push_back(static_cast<uint64_t>(below));
        plan.ranks.push_back(static_cast<uint64_t>(above));
    }
    std::sort(plan.ranks.begin(), plan.ranks.end());
    plan.ranks.erase(std::unique(plan.ranks.begin(), plan.ranks.end()), plan.ranks.end());
    return plan;
}

ShardedCuts finish_cuts(CutPlan plan, const std::vector<uint64_t>& keys) {
    if (keys.size() != plan.ranks.size()) {
        throw std::invalid_argument("cuts: one key per selected rank expected");
    }
    ShardedCuts out = std::move(plan.cuts);
    if (plan.ranks.empty()) return out;
    const int64_t n = out.n_values;
    auto value_at = [&](int64_t rank) {
        const auto at = std::lower_bound(plan.ranks.begin(), plan.ranks.end(),
                                         static_cast<uint64_t>(rank)) -
                        plan.ranks.begin();
        return key_value(keys[static_cast<size_t>(at)]);
    };
    for (const double t : plan.fractions) {
        const auto [below, above] = ranks_around(t, n);
        out.edges.push_back(
            interpolate(value_at(below), value_at(above), rank_at(t, n), below));
    }
    sort_unique(out.edges);
    return out;
}

ShardedCuts cuts_from(ShardedCuts facts, const DistinctSource& distinct, const RankSource& select,
                      int32_t max_bins, bool categorical) {
    CutPlan plan = plan_cuts(std::move(facts), distinct, max_bins, categorical);
    if (plan.ranks.empty()) return std::move(plan.cuts);
    const std::vector<uint64_t> keys = select(plan.ranks);
    return finish_cuts(std::move(plan), keys);
}

ShardedCuts sharded_cuts(const std::vector<ColumnShard>& shards, int32_t max_bins,
                         bool categorical) {
    ShardedCuts facts;
    facts.lowest_key = kNoKey;
    std::vector<std::vector<uint64_t>> keys;
    for (const ColumnShard& shard : shards) {
        merge_facts(facts, column_facts(shard));
        keys.push_back(shard_keys(shard).keys);
    }
    auto distinct = [&] {
        DistinctValues merged;
        for (const ColumnShard& shard : shards) {
            merged = merge_distinct(merged, distinct_values(shard));
        }
        return merged;
    };
    auto select = [&](const std::vector<uint64_t>& ranks) { return select_ranks(keys, ranks); };
    return cuts_from(std::move(facts), distinct, select, max_bins, categorical);
}

BinExtremes bin_extremes(const ColumnShard& shard, const std::vector<double>& edges) {
    BinExtremes out;
    out.low.assign(edges.size() + 1, kNoKey);
    out.high.assign(edges.size() + 1, 0);
    for (int64_t r = 0; r < shard.n; ++r) {
        const double v = shard.values[r];
        if (std::isnan(v)) continue;
        const auto bin =
            static_cast<size_t>(std::upper_bound(edges.begin(), edges.end(), v) - edges.begin());
        const uint64_t key = sort_key(v);
        out.low[bin] = std::min(out.low[bin], key);
        out.high[bin] = std::max(out.high[bin], key);
    }
    return out;
}

void merge_extremes(BinExtremes& into, const BinExtremes& from) {
    for (size_t k = 0; k < into.low.size(); ++k) {
        into.low[k] = std::min(into.low[k], from.low[k]);
        into.high[k] = std::max(into.high[k], from.high[k]);
    }
}

void bin_bounds(const ShardedCuts& cuts, const BinExtremes& extremes, std::vector<double>& low,
                std::vector<double>& high) {
    if (cuts.n_values == 0) {
        low.assign(1, 0.0);
        high.assign(1, 0.0);
        return;
    }
    const auto n_edges = static_cast<int32_t>(cuts.edges.size());
    const int32_t n_bins = n_edges + 1 + (cuts.has_missing ? 1 : 0);
    low.assign(n_bins, 0.0);
    high.assign(n_bins, 0.0);
    for (int32_t k = 0; k <= n_edges; ++k) {
        if (extremes.low[k] <= extremes.high[k]) {
            low[k] = key_value(extremes.low[k]);
            high[k] = key_value(extremes.high[k]);
        } else {
            // An empty bin is valued by its cut point, or the nearest value.
            const double bound =
                k == 0 ? (n_edges > 0 ? cuts.edges[0] : key_value(cuts.lowest_key))
                       : (k - 1 < n_edges ? cuts.edges[k - 1] : key_value(cuts.highest_key));
            low[k] = bound;
            high[k] = bound;
        }
    }
}

}  // namespace vorlent
