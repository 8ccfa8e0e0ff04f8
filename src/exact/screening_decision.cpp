#include "exact/screening_decision.hpp"

#include "decide/screening.hpp"
#include "exact/pair_moments.hpp"
#include "exact/screen_sums.hpp"

namespace vorlent {
namespace {

// The node sums of a pair's rows and its columns' spreads over them, from its moments.
struct PairSpread {
    double H = 0.0;  // sum h
    double R = 0.0;  // sum r
    double scale_a = 1.0;
    double scale_b = 1.0;
};

PairSpread pair_spread(const int64_t* moments, const ColumnPair& pair,
                       const ObliqueSettings& settings) {
    PairSpread out;
    if (pair.top < 0) {
        const PairSums s = pair_sums_of(moments, pair, *settings.bins, settings.grids);
        out.H = s.H;
        out.R = s.T0;
        out.scale_a = node_scale(s.H, s.S_a, s.S_aa);
        out.scale_b = node_scale(s.H, s.S_b, s.S_bb);
        return out;
    }
    // A categorical pair's rows by code: the code's moments are those of its counts.
    const CategorySums s = category_sums_of(moments, pair, *settings.bins, settings.grids);
    double S_a = 0.0, S_aa = 0.0, S_b = 0.0;
    for (int32_t q = 0; q <= pair.top; ++q) {
        out.R += s.r_q[q];
        S_a += q * s.n_q[q];
        S_aa += q * q * s.n_q[q];
        S_b += s.s_q[q];
    }
    out.H = s.hc;
    out.scale_a = node_scale(s.hc, S_a, S_aa);
    out.scale_b = node_scale(s.hc, S_b, s.sxx);
    return out;
}

}  // namespace

bool screens_pairs(const TreeParams& tree, int32_t depth, bool ranked, size_t pairs, size_t keep) {
    return tree.split_mode == kCappedOblique && screens_candidates(depth, ranked) && pairs > keep;
}

double pair_screen_score(const int64_t* moments, const int64_t* screen, const ColumnPair& pair,
                         const ObliqueSettings& settings) {
    const PairSpread p = pair_spread(moments, pair, settings);
    const ScreenMoments m = screen_moments_of(screen, pair, *settings.bins, settings.grids);
    const double c = 1.0 / (p.scale_a * p.scale_b);
    return screen_score(p.H, p.R, c * m.Z, c * (c * m.ZZ), c * m.RZ, settings.tree->reg_lambda);
}

void keep_screened_candidates(std::vector<ObliqueCandidate>& candidates, size_t keep) {
    if (keep == 0 || candidates.size() <= keep) return;
    const auto count = static_cast<int32_t>(candidates.size());
    std::vector<double> prescores(candidates.size()), screens(candidates.size());
    for (int32_t i = 0; i < count; ++i) {
        prescores[i] = candidates[i].prescore;
        screens[i] = candidates[i].screen;
    }
    std::vector<int32_t> order, top;
    std::vector<char> marked;
    mark_screened(prescores.data(), screens.data(), count,
                  static_cast<int32_t>(screened_half(keep)), order, top, marked);
    std::vector<ObliqueCandidate> kept;
    for (int32_t i = 0; i < count; ++i) {
        if (marked[i] != 0) kept.push_back(std::move(candidates[i]));
    }
    candidates.swap(kept);
}

}  // namespace vorlent
