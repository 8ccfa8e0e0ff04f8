#pragma once
#include <cstdint>

#include "common/numeric.hpp"
#include "decide/newton.hpp"

// The scan that every cut decision runs over a histogram: the left sums grow cell by cell in
// ascending order, each cut is scored from its two sides, and a cut replaces the best so far
// only with a strictly larger gain (so ties go to the first cut scanned). The builders keep
// their histograms in two ways, and the scan reads both through a cells type:
//   DoubleCells: double sums (the row-by-row builders), the right side the node's sums minus
//                the left ones in doubles;
//   GridCells:   integer sums on a round's fixed-point grids (exact_sums), each side an
//                integer sum converted once, so any grouping of the rows gives the same bits.
// A cells type has a Sums record (one side's sums), at(i) (cell i's sums as such a record),
// add(sums, i), occupied(i), node_g() and node_h() (the node's sums as doubles) and
// sides(left) (both sides of a cut as doubles).

namespace vorlent {

// Both sides of a cut as doubles: gradient and hessian sums on the left and on the right.
struct CutSides {
    double gl = 0.0;
    double hl = 0.0;
    double gr = 0.0;
    double hr = 0.0;
};

// Second-order gain of parting a node into the two sides; `parent` is G^2 / (H + lambda),
// computed once per scan.
inline double sides_gain(const CutSides& s, double lambda, double parent) {
    return split_gain(s.gl, s.hl, s.gr, s.hr, lambda, parent);
}

// Whether a cut beats the best gain so far, its gain in `gain`: both sides need a hessian
// above kTiny, and only a strictly larger gain wins.
inline bool cut_beats(const CutSides& s, double lambda, double parent, double best_gain,
                      double& gain) {
    if (!(s.hl > kTiny) || !(s.hr > kTiny)) return false;
    gain = sides_gain(s, lambda, parent);
    return gain > best_gain;
}

// The parent term of a node's scans, from its sums G and H.
inline double parent_term(double G, double H, double lambda) { return side_score(G, H, lambda); }

// Both sides of a cut from double sums: the right side is the node's sums minus the left.
inline CutSides double_sides(double gl, double hl, double G, double H) {
    return CutSides{gl, hl, G - gl, H - hl};
}

// Double sums of a cell at grad[i * stride] and hess[i * stride]. These cells count no rows:
// a cell is occupied when its hessian is positive.
struct DoubleCells {
    struct Sums {
        double g = 0.0;
        double h = 0.0;
    };
    const double* grad = nullptr;
    const double* hess = nullptr;
    int64_t stride = 2;
    double G = 0.0;  // the node's sums
    double H = 0.0;

    Sums at(int32_t i) const { return Sums{grad[i * stride], hess[i * stride]}; }
    void add(Sums& s, int32_t i) const {
        s.g += grad[i * stride];
        s.h += hess[i * stride];
    }
    bool occupied(int32_t i) const { return hess[i * stride] > 0.0; }
    double node_g() const { return G; }
    double node_h() const { return H; }
    CutSides sides(const Sums& left) const { return double_sides(left.g, left.h, G, H); }
};

// Integer sums of a cell on a round's grids: words g, h, row count at words[i * stride]. A
// cell is occupied when it counts rows (never by its hessian, which may round to 0). Totals
// is the builder's record of one side (count, g, h); Grid converts a sum (value()).
template <class Totals, class Grid>
struct GridCells {
    using Sums = Totals;
    const int64_t* words = nullptr;
    int64_t stride = 3;
    Totals node;
    const Grid* grad_grid = nullptr;
    const Grid* hess_grid = nullptr;

    Sums at(int32_t i) const {
        const int64_t* w = words + i * stride;
        Totals s;
        s.count = w[2];
        s.g = w[0];
        s.h = w[1];
        return s;
    }
    void add(Sums& s, int32_t i) const {
        const int64_t* w = words + i * stride;
        s.g += w[0];
        s.h += w[1];
        s.count += w[2];
    }
    bool occupied(int32_t i) const { return words[i * stride + 2] > 0; }
    double node_g() const { return grad_grid->value(node.g); }
    double node_h() const { return hess_grid->value(node.h); }
    CutSides sides(const Sums& left) const {
        return CutSides{grad_grid->value(left.g), hess_grid->value(left.h),
                        grad_grid->value(node.g - left.g), hess_grid->value(node.h - left.h)};
    }
};

// Scans `cuts` cuts: cut k adds cell cell_at(k) to the left sums (starting at `left`). A cut
// that beats best_gain is offered to take(k, left sums, gain), which records it and returns
// true, or refuses it (false: a cut the test could not make as scored); an accepted cut
// raises best_gain.
template <class Cells, class CellAt, class Take>
void scan_cuts(const Cells& cells, CellAt&& cell_at, int32_t cuts, typename Cells::Sums left,
               double lambda, double& best_gain, Take&& take) {
    const double parent = parent_term(cells.node_g(), cells.node_h(), lambda);
    for (int32_t k = 0; k < cuts; ++k) {
        cells.add(left, cell_at(k));
        double gain = 0.0;
        if (cut_beats(cells.sides(left), lambda, parent, best_gain, gain) && take(k, left, gain)) {
            best_gain = gain;
        }
    }
}

// The occupied cells among [0, n) in ascending order into listed (n entries of room);
// returns their count.
template <class Cells>
int32_t list_occupied(const Cells& cells, int32_t n, int32_t* listed) {
    int32_t count = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (cells.occupied(i)) listed[count++] = i;
    }
    return count;
}

}  // namespace vorlent
