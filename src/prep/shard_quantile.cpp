#include "prep/shard_quantile.hpp"

#include <cmath>
#include <stdexcept>

#include "common/total_order.hpp"
#include "prep/shard_select.hpp"

namespace vorlent {

uint64_t huber_threshold_rank(int64_t n, double alpha) {
    return static_cast<uint64_t>(std::floor(static_cast<double>(n - 1) * alpha));
}

uint64_t leaf_quantile_rank(int64_t m, double alpha) {
    const auto k = static_cast<uint64_t>(std::floor(static_cast<double>(m - 1) * alpha + 0.5));
    return k > static_cast<uint64_t>(m - 1) ? static_cast<uint64_t>(m - 1) : k;
}

double select_value(const std::vector<ColumnShard>& shards, uint64_t rank) {
    std::vector<std::vector<uint64_t>> keys(shards.size());
    for (size_t s = 0; s < shards.size(); ++s) {
        keys[s].resize(static_cast<size_t>(shards[s].n));
        for (int64_t r = 0; r < shards[s].n; ++r) keys[s][r] = sort_key(shards[s].values[r]);
    }
    return key_value(select_ranks(keys, {rank}).front());
}

}  // namespace vorlent
