// Times the sharded cut search (sharded_cuts, then the per-bin extremes) against build_bins
// on one column, and prints the ratio of the best of a few runs.
//
//   bench_shard_cuts [ROWS] [MAX_BINS] [SHARDS] [REPEATS]
//
// Columns: normal, normal with 5% NaN, and 20 distinct integers. The shards are dealt
// round-robin and counted one after another on the calling thread, as one process holding
// every shard would. One line per column: "column <name> build_bins <s> sharded_cuts <s>
// with_extremes <s> ratio <sharded_cuts / build_bins>".
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "prep/binning.hpp"
#include "prep/shard_bins.hpp"

namespace {

std::vector<double> column_of(const std::string& kind, int64_t rows) {
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    std::vector<double> x(static_cast<size_t>(rows));
    for (double& v : x) {
        if (kind == "integers") {
            v = std::floor(unit(rng) * 20);
        } else {
            v = normal(rng);
            if (kind == "normal_nan" && unit(rng) < 0.05) v = std::nan("");
        }
    }
    return x;
}

template <class F>
double best_seconds(int repeats, F&& f) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t rows = argc > 1 ? std::atol(argv[1]) : 1000000;
    const auto max_bins = static_cast<int32_t>(argc > 2 ? std::atoi(argv[2]) : 256);
    const int n_shards = argc > 3 ? std::max(1, std::atoi(argv[3])) : 4;
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;

    for (const std::string kind : {"normal", "normal_nan", "integers"}) {
        const std::vector<double> x = column_of(kind, rows);
        std::vector<std::vector<double>> shards(n_shards);
        for (int64_t r = 0; r < rows; ++r) shards[r % n_shards].push_back(x[r]);
        std::vector<vorlent::ColumnShard> views;
        for (const auto& s : shards) views.push_back({s.data(), static_cast<int64_t>(s.size())});

        size_t sink = 0;
        const vorlent::MatrixView view{x.data(), static_cast<int32_t>(rows), 1};
        const double whole = best_seconds(
            repeats, [&] { sink += vorlent::build_bins(view, max_bins, {}).edges[0].size(); });
        const double cuts = best_seconds(
            repeats, [&] { sink += vorlent::sharded_cuts(views, max_bins, false).edges.size(); });
        const double with_extremes = best_seconds(repeats, [&] {
            const vorlent::ShardedCuts c = vorlent::sharded_cuts(views, max_bins, false);
            vorlent::BinExtremes e = vorlent::bin_extremes(vorlent::ColumnShard{}, c.edges);
            for (const auto& v : views)
                vorlent::merge_extremes(e, vorlent::bin_extremes(v, c.edges));
            sink += e.low.size();
        });
        std::printf(
            "column %s rows %lld max_bins %d shards %d build_bins %.4f sharded_cuts %.4f "
            "with_extremes %.4f ratio %.2f (sink %zu)\n",
            kind.c_str(), static_cast<long long>(rows), max_bins, n_shards, whole, cuts,
            with_extremes, cuts / whole, sink);
    }
    return 0;
}
