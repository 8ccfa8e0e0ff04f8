#include "model/importance.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vorlent {
namespace {

// Accumulators only grow through these helpers. A model continued on a wider matrix
// resizes feature_gain alone, so every index is checked against its own accumulator.
inline void add_at(std::vector<double>& acc, int64_t index, double amount) {
    if (index >= 0 && static_cast<uint64_t>(index) < acc.size()) acc[index] += amount;
}

}  // namespace

void normalise_gains(const double* gain, size_t count, double* out, size_t out_count) {
    double total = 0.0;
    for (size_t i = 0; i < count; ++i) total += gain[i];
    const size_t written = total > 0.0 ? std::min(count, out_count) : 0;
    for (size_t i = 0; i < written; ++i) out[i] = gain[i] / total;
    std::fill(out + written, out + out_count, 0.0);
}

std::vector<PairGain> normalised_pairs(const PairGains& gains) {
    std::vector<PairGain> pairs = gains.sorted();
    std::vector<double> shares(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i) shares[i] = pairs[i].gain;
    normalise_gains(shares.data(), shares.size(), shares.data(), shares.size());
    for (size_t i = 0; i < pairs.size(); ++i) pairs[i].gain = shares[i];
    return pairs;
}

void credit_split(Importances& gains, int32_t n_features, const Node& committed) {
    const int32_t a = committed.feature_a;
    const double g = committed.gain;
    add_at(gains.feature_gain, a, g);
    if (committed.kind == kAxis) {
        add_at(gains.coefficient_gain, a, g);
        return;
    }
    const int32_t b = committed.feature_b;
    const double weight_a = std::fabs(committed.coef_a) * g;
    const double abs_b = std::fabs(committed.coef_b);
    add_at(gains.feature_gain, b, g);
    add_at(gains.coefficient_gain, a, weight_a);
    add_at(gains.coefficient_gain, b, abs_b * g);
    // A split that gives one column no weight credits no pair, so that the stored pairs are
    // the cells in which a dense table would hold a gain.
    const double interaction = weight_a * abs_b;
    if (interaction != 0.0 && a >= 0 && b >= 0 && a < n_features && b < n_features) {
        gains.interaction_gain.add(a, b, interaction);
    }
}

void credit_projection(Importances& gains, const std::vector<double>& direction, double gain) {
    for (size_t j = 0; j < direction.size(); ++j) {
        if (direction[j] == 0.0) continue;
        const double share = std::fabs(direction[j]) * gain;
        add_at(gains.feature_gain, static_cast<int64_t>(j), share);
        add_at(gains.coefficient_gain, static_cast<int64_t>(j), share);
    }
}

void credit_tree(Importances& gains, int32_t n_features, const Directions& directions,
                 const Tree& tree) {
    for (const Node& node : tree) {
        if (node.is_leaf) continue;
        if (node.projection >= 0) {
            credit_projection(gains, directions[node.projection], node.gain);
        } else {
            credit_split(gains, n_features, node);
        }
    }
}

}  // namespace vorlent
