// Times the bins of Dask training on one process: remote_bins over row shards held here, as
// a worker's shard answers the coordinator, and of that the time the shards spend counting
// selection rounds (RowShard::count_columns).
//
//   bench_shard_select [ROWS_PER_SHARD] [COLUMNS] [SHARDS] [REPEATS]
//
// Columns: standard normal, except every seventh with 5% NaN and every fifth rounded to two
// decimals (heavy duplicates). One line per repeat: "bins <s> count_columns <s> rounds <n>
// edges_hash <h>"; the hash tells whether two builds select the same bins.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "boosting/remote_fit.hpp"
#include "boosting/row_shard.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<double> shard_rows(int64_t rows, int32_t cols, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    std::vector<double> x(static_cast<size_t>(rows * cols));
    for (int64_t r = 0; r < rows; ++r) {
        for (int32_t f = 0; f < cols; ++f) {
            double v = normal(rng);
            if (f % 5 == 4) v = std::round(v * 100) / 100;
            if (f % 7 == 6 && unit(rng) < 0.05) v = std::nan("");
            x[static_cast<size_t>(r * cols + f)] = v;
        }
    }
    return x;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = argc > 1 ? std::atol(argv[1]) : 5000000;
    const auto cols = static_cast<int32_t>(argc > 2 ? std::atoi(argv[2]) : 28);
    const int n_shards = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 2;

    vorlent::BoosterParams params;
    std::vector<vorlent::RowShard> shards;
    for (int s = 0; s < n_shards; ++s) {
        shards.emplace_back(shard_rows(rows, cols, 7 + s), cols,
                            std::vector<double>(static_cast<size_t>(rows), 0.0),
                            std::vector<double>{}, false, s * rows, params);
    }
    double counting = 0.0;
    int rounds = 0;
    vorlent::RemoteRows remote;
    remote.n_features = cols;
    remote.column_facts = [&] {
        std::vector<vorlent::ShardedCuts> merged(static_cast<size_t>(cols));
        for (auto& m : merged) m.lowest_key = UINT64_MAX;
        for (const auto& s : shards) {
            const auto part = s.column_facts();
            for (int32_t f = 0; f < cols; ++f) vorlent::merge_facts(merged[f], part[f]);
        }
        return merged;
    };
    remote.count_columns = [&](const std::vector<int32_t>& columns,
                               const std::vector<vorlent::SelectRound>& asked) {
        const auto start = Clock::now();
        std::vector<std::vector<uint64_t>> merged;
        for (const auto& round : asked) merged.push_back(vorlent::empty_counts(round));
        for (const auto& s : shards) {
            const auto part = s.count_columns(columns, asked);
            for (size_t j = 0; j < merged.size(); ++j) {
                vorlent::merge_counts(merged[j].data(), part[j].data(), merged[j].size());
            }
        }
        counting += std::chrono::duration<double>(Clock::now() - start).count();
        ++rounds;
        return merged;
    };
    remote.extremes = [&](const std::vector<std::vector<double>>& edges) {
        std::vector<vorlent::BinExtremes> merged;
        for (const auto& e : edges) {
            merged.push_back({std::vector<uint64_t>(e.size() + 1, UINT64_MAX),
                              std::vector<uint64_t>(e.size() + 1, 0)});
        }
        for (const auto& s : shards) {
            const auto part = s.extremes(edges);
            for (size_t f = 0; f < merged.size(); ++f) vorlent::merge_extremes(merged[f], part[f]);
        }
        return merged;
    };
    for (int i = 0; i < repeats; ++i) {
        counting = 0.0;
        rounds = 0;
        const auto start = Clock::now();
        const vorlent::BinnedMatrix tables = vorlent::remote_bins(params, remote);
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        uint64_t hash = 1469598103934665603ULL;
        for (const auto& e : tables.edges) {
            for (const double v : e) {
                uint64_t bits = 0;
                std::memcpy(&bits, &v, sizeof bits);
                hash = (hash ^ bits) * 1099511628211ULL;
            }
        }
        std::printf("bins %.3f count_columns %.3f rounds %d edges_hash %016llx\n", took, counting,
                    rounds, static_cast<unsigned long long>(hash));
        std::fflush(stdout);
    }
    return 0;
}
