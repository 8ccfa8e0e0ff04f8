// The cut scan from rows ordered by cell must be exactly the scan of the dense histogram.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "booster_fixtures.hpp"
#include "tree/projected_histogram.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// The dense histogram of the values, as the lineage builder forms it, and its scan.
ProjectedCut dense_scan(const std::vector<double>& v, const NodeGradients& node, int32_t bins,
                        double lo, double step, double lambda) {
    std::vector<double> cells(2 * static_cast<size_t>(bins), 0.0);
    for (int32_t k = 0; k < node.n; ++k) {
        if (std::isnan(v[k])) continue;
        const int32_t bin = clamp_bin((v[k] - lo) / step, bins);
        cells[2 * bin] += node.grad[k];
        cells[2 * bin + 1] += node.hess[k];
    }
    return scan_projected_cells(cells.data(), cells.data() + 1, 2, bins, lo, step, node, lambda);
}

}  // namespace

TEST(SparseScan, GivesTheDenseHistogramsCutBitForBit) {
    std::mt19937 gen(17);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<std::pair<int32_t, int32_t>> order;
    int32_t found = 0;
    for (int trial = 0; trial < 400; ++trial) {
        const int32_t n = 1 + static_cast<int32_t>(gen() % 60);
        const int32_t bins = 2 + static_cast<int32_t>(gen() % 5000);
        const int32_t levels = 1 + static_cast<int32_t>(gen() % 12);  // ties share a cell
        std::vector<double> v(n), g(n), h(n);
        double G = 0, H = 0;
        for (int32_t k = 0; k < n; ++k) {
            v[k] = gen() % 9 == 0 ? kNaN : std::round(u(gen) * levels) / levels;
            g[k] = gen() % 7 == 0 ? 0.0 : u(gen);
            h[k] = gen() % 11 == 0 ? 0.0 : 0.5 + 0.5 * u(gen);
            G += g[k];
            H += h[k];
        }
        const NodeGradients node{g.data(), h.data(), n, G, H};
        // Every third trial spans the values exactly, as the builder does: the largest
        // lands in the last cell, which no cut follows.
        double lo = -1.0 - 0.01 * (gen() % 3), hi = 2.05;
        if (trial % 3 == 0) {
            lo = 2.0, hi = -2.0;
            for (double x : v) lo = x < lo ? x : lo, hi = x > hi ? x : hi;
            if (!(hi > lo)) continue;
        }
        const double step = (hi - lo) / bins;
        const double lambda = trial % 2 ? 1.0 : 0.0;
        const ProjectedCut want = dense_scan(v, node, bins, lo, step, lambda);
        const ProjectedCut got =
            scan_projected_values(v.data(), node, bins, lo, step, lambda, order);
        ASSERT_EQ(want.found, got.found) << trial;
        EXPECT_EQ(0, std::memcmp(&want.gain, &got.gain, sizeof(double))) << trial;
        EXPECT_EQ(0, std::memcmp(&want.threshold, &got.threshold, sizeof(double))) << trial;
        EXPECT_EQ(want.cell, got.cell) << trial;  // the cell that placing the cut reads
        found += want.found ? 1 : 0;
    }
    EXPECT_GT(found, 200);
}
