#pragma once
// Data for the exact_sums tests: a table with every kind of awkward value, and gradients.
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/matrix.hpp"
#include "exact/level_stats.hpp"

namespace vorlent::testing {

// A shard of some rows of a table and its state for a tree.
struct TestShard {
    std::vector<int32_t> rows;
    ShardRows shard;
    ShardTree tree;
};

// rows x cols values: columns 0 .. cols-2 numeric with NaN, +-inf, +-0 and repeated values;
// the last column small integer category codes (with NaN).
struct AwkwardTable {
    std::vector<double> x;
    int32_t rows = 0;
    int32_t cols = 0;
    MatrixView view() const { return MatrixView{x.data(), rows, cols}; }
    std::vector<int32_t> categorical() const {
        std::vector<int32_t> c(static_cast<size_t>(cols), 0);
        c.back() = 1;
        return c;
    }
};

inline AwkwardTable awkward_table(int32_t rows, int32_t cols, uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    std::uniform_int_distribution<int> pick(0, 19);
    const double inf = std::numeric_limits<double>::infinity();
    AwkwardTable t;
    t.rows = rows;
    t.cols = cols;
    t.x.resize(static_cast<size_t>(rows) * cols);
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < cols; ++c) {
            double v = u(gen);
            const int kind = pick(gen);
            if (c + 1 == cols) {
                v = kind == 0 ? std::nan("") : static_cast<double>(kind % 6);
            } else if (kind == 0) {
                v = std::nan("");
            } else if (kind == 1) {
                v = pick(gen) < 10 ? inf : -inf;
            } else if (kind == 2) {
                v = pick(gen) < 10 ? 0.0 : -0.0;
            } else if (kind < 6) {
                v = std::round(v * 2.0) / 2.0;  // repeated values
            }
            t.x[static_cast<size_t>(r) * cols + c] = v;
        }
    }
    return t;
}

// n_outputs gradients and hessians per row: gradients of any sign (some +-0), hessians of
// any size including 0.
inline void awkward_gradients(int32_t rows, int32_t n_outputs, uint32_t seed,
                              std::vector<double>& grad, std::vector<double>& hess) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    grad.resize(static_cast<size_t>(rows) * n_outputs);
    hess.resize(grad.size());
    for (size_t i = 0; i < grad.size(); ++i) {
        grad[i] = i % 17 == 0 ? (i % 2 == 0 ? 0.0 : -0.0) : u(gen) * std::ldexp(1.0, -(i % 7));
        hess[i] = i % 13 == 0 ? 0.0 : std::fabs(u(gen)) * 0.25;
    }
}

}  // namespace vorlent::testing
