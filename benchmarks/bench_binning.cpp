// Times build_bins on a dense matrix and prints the best of a few runs.
//
//   bench_binning ROWS COLS [MATRIX_FILE|-] [MAX_BINS] [REPEATS]
//
// MATRIX_FILE holds ROWS * COLS raw little-endian doubles, row-major (numpy's tofile);
// "-" or no file bins a synthetic matrix instead. The last line of the output is
// "seconds <best wall time> <best processor time of all threads>" for scripts to read.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "prep/binning.hpp"

namespace {

// Mostly normal columns, every fourth with 5% NaN, every seventh a small integer range.
std::vector<double> synthetic_matrix(int32_t rows, int32_t cols) {
    std::vector<double> x(static_cast<size_t>(rows) * cols);
    std::mt19937_64 rng(42);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    for (int64_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < cols; ++c) {
            double v = c % 7 == 6 ? std::floor(unit(rng) * 20) : normal(rng) * (1 + c);
            if (c % 4 == 3 && unit(rng) < 0.05) v = std::nan("");
            x[r * cols + c] = v;
        }
    }
    return x;
}

bool read_matrix(const char* path, std::vector<double>& x) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    const size_t got = std::fread(x.data(), sizeof(double), x.size(), f);
    std::fclose(f);
    return got == x.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROWS COLS [MATRIX_FILE|-] [MAX_BINS] [REPEATS]\n", argv[0]);
        return 2;
    }
    const auto rows = static_cast<int32_t>(std::atol(argv[1]));
    const auto cols = static_cast<int32_t>(std::atol(argv[2]));
    const std::string path = argc > 3 ? argv[3] : "-";
    const int32_t max_bins = argc > 4 ? std::atoi(argv[4]) : 64;
    const int repeats = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;

    std::vector<double> x;
    if (path == "-") {
        x = synthetic_matrix(rows, cols);
    } else {
        x.resize(static_cast<size_t>(rows) * cols);
        if (!read_matrix(path.c_str(), x)) {
            std::fprintf(stderr, "cannot read %d x %d doubles from %s\n", rows, cols, path.c_str());
            return 1;
        }
    }
    const vorlent::MatrixView view{x.data(), rows, cols};

    double best = 1e300;
    double best_cpu = 1e300;
    size_t bins = 0;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpu_start = std::clock();
        const vorlent::BinnedMatrix b = vorlent::build_bins(view, max_bins, {});
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
        best_cpu =
            std::min(best_cpu, static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
        bins = 0;
        for (const auto& v : b.bin_low) bins += v.size();
    }
    std::printf("build_bins rows=%d cols=%d max_bins=%d threads=%d bins=%zu\n", rows, cols,
                max_bins, omp_get_max_threads(), bins);
    std::printf("seconds %.6f %.6f\n", best, best_cpu);
    return 0;
}
