#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "prep/bin_lookup.hpp"
#include "prep/cut_rule.hpp"

using namespace vorlent;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// Values of every kind but NaN: both zeros, infinities, subnormals, the extremes of the
// doubles, values crowded near 1 (many edges in one 16-bit block), and plain normal ones.
double random_value(std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    const double specials[] = {0.0,     -0.0,    kInf, -kInf, 5e-324, -5e-324, 1e-310,
                               1.7e308, -1.7e308, 1.0,  -1.0,  2.0};
    switch (rng() % 4) {
        case 0:
            return specials[rng() % 12];
        case 1:
            return 1.0 + std::ldexp(static_cast<double>(rng() % 1000), -45);
        case 2:
            return std::ldexp(normal(rng), static_cast<int>(rng() % 200) - 100);
        default:
            return normal(rng);
    }
}

}  // namespace

// For sorted edges (repeats, zeros of both signs and infinities among them) the table's bin
// is bin_of's for every value; edges out of order or with NaN take bin_of itself.
TEST(BinLookup, EqualsTheSearchOverAllEdges) {
    std::mt19937_64 rng(8);
    for (int trial = 0; trial < 60; ++trial) {
        std::vector<double> edges(rng() % 300);
        for (double& e : edges) e = random_value(rng);
        if (trial % 10 == 9 && !edges.empty()) {
            edges[rng() % edges.size()] = std::nan("");
        } else if (trial % 10 != 8) {
            std::sort(edges.begin(), edges.end());
        }
        const BinLookup lookup(edges, BinLookup::kMinValues);
        const auto n = static_cast<int32_t>(edges.size());
        for (int i = 0; i < 3000; ++i) {
            const double v = i < static_cast<int>(edges.size()) ? edges[i] : random_value(rng);
            if (std::isnan(v)) continue;
            ASSERT_EQ(lookup.bin(v), bin_of(edges.data(), n, v)) << "trial " << trial << " " << v;
            const double next = std::nextafter(v, kInf);
            ASSERT_EQ(lookup.bin(next), bin_of(edges.data(), n, next)) << "trial " << trial;
        }
    }
}
