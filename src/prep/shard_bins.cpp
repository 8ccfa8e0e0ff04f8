#include "prep/shard_bins.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

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

// The interpolated values at the fractions, from the order statistics they read.
std::vector<double> percentiles(const RankSource& select, int64_t n, uint64_t lowest,
                                const std::vector<double>& fractions) {
    std::vector<double> cuts;
    if (n == 1) {
        cuts.assign(fractions.size(), key_value(lowest));
        return cuts;
    }
    std::vector<uint64_t> ranks;
    for (double t : fractions) {
        const int64_t j = lower_position(rank_at(t, n), n);
        ranks.push_back(static_cast<uint64_t>(j));
        ranks.push_back(static_cast<uint64_t>(std::min(j + 1, n - 1)));
    }
    std::vector<uint64_t> unique_ranks = ranks;
    std::sort(unique_ranks.begin(), unique_ranks.end());
    unique_ranks.erase(std::unique(unique_ranks.begin(), unique_ranks.end()), unique_ranks.end());
    const std::vector<uint64_t> keys = select(unique_ranks);
    auto value_at = [&](uint64_t rank) {
        const auto at =
            std::lower_bound(unique_ranks.begin(), unique_ranks.end(), rank) - unique_ranks.begin();
        return key_value(keys[static_cast<size_t>(at)]);
    };
    for (size_t i = 0; i < fractions.size(); ++i) {
        const double x = rank_at(fractions[i], n);
        const int64_t j = static_cast<int64_t>(ranks[2 * i]);
        cuts.push_back(interpolate(value_at(ranks[2 * i]), value_at(ranks[2 * i + 1]), x, j));
    }
    return cuts;
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

ShardedCuts cuts_from(ShardedCuts facts, const DistinctSource& distinct, const RankSource& select,
                      int32_t max_bins, bool categorical) {
    ShardedCuts out = std::move(facts);
    out.edges.clear();
    if (out.n_values == 0) return out;

    if (categorical) {
        const DistinctValues values = distinct();
        if (!values.too_many()) {
            for (size_t k = 0; k + 1 < values.keys.size(); ++k) {
                out.edges.push_back(
                    cut_between(key_value(values.keys[k]), key_value(values.keys[k + 1])));
            }
            return out;
        }
    }
    const std::vector<double> fractions = categorical
                                              ? category_fractions(kMaxCategoryBins)
                                              : ordinary_fractions(max_bins, out.has_missing);
    out.edges = percentiles(select, out.n_values, out.lowest_key, fractions);
    sort_unique(out.edges);
    return out;
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
