// Fits a model on synthetic data with interactions and linear-combination structure and
// prints the seconds it took; built unstripped, so that a profiler can name every phase:
//   bench_fit ROWS SPLIT_MODE TREES [MAX_LINEAGE [MIXED]]
// With MIXED 1, columns 4 and 8 lose 2% of their values to NaN and column 11 holds eight
// category codes marked categorical, as in the Python benchmarks' synthetic set.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "boosting/booster.hpp"
#include "boosting/train.hpp"

int main(int argc, char** argv) {
    const int32_t rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int32_t mode = argc > 2 ? std::atoi(argv[2]) : 0;
    const int32_t trees = argc > 3 ? std::atoi(argv[3]) : 60;
    const int32_t lineage = argc > 4 ? std::atoi(argv[4]) : 0;
    const bool mixed = argc > 5 && std::atoi(argv[5]) != 0;
    const int32_t cols = 28;
    std::mt19937_64 gen(0);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> x(static_cast<size_t>(rows) * cols), y(rows);
    for (int64_t r = 0; r < rows; ++r) {
        double* v = x.data() + r * cols;
        for (int32_t j = 0; j < cols; ++j) v[j] = normal(gen);
        const double logit = v[0] * v[1] + 1.5 * (v[2] - v[3]) + std::sin(v[4]) +
                             (v[5] + v[6] > 0.5 ? 1.0 : 0.0);
        y[r] = uniform(gen) < 1.0 / (1.0 + std::exp(-logit)) ? 1.0 : 0.0;
        if (mixed) {
            v[11] = std::floor(uniform(gen) * 8.0);
            if (uniform(gen) < 0.02) v[4] = NAN;
            if (uniform(gen) < 0.02) v[8] = NAN;
        }
    }
    std::vector<int32_t> categorical;
    if (mixed) {
        categorical.assign(cols, 0);
        categorical[11] = 1;
    }
    vorlent::Booster b(trees, 0.12, 4, 64, 1.0, 10, 1.0, 1.0, 42, 0, 0, 0.9, 0, {}, categorical,
                       lineage, mode);
    const auto start = std::chrono::steady_clock::now();
    vorlent::fit(b, vorlent::MatrixView{x.data(), rows, cols}, {y.data(), rows}, {}, {}, {}, 0,
                 1e-4);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("rows %d split_mode %d max_lineage %d%s trees %d: %.3f s\n", rows, mode, lineage,
                mixed ? " mixed" : "", b.n_trees(), seconds);
    return 0;
}
