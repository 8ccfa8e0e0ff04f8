#pragma once
// Growing one histogram-builder tree over every row of a matrix, for the C++ tests.
#include <numeric>

#include "booster_fixtures.hpp"
#include "prep/binning.hpp"
#include "tree/grow_node.hpp"

namespace vorlent::testing {

// The tree grow_node grows from rows 0 .. n-1 of X (bins built at b.params.max_bins).
inline Tree grow_from_all_rows(Booster& b, const MatrixView& X, const double* grad,
                               const double* hess) {
    const BinnedMatrix bins = build_bins(X, b.params.max_bins, b.params.categorical);
    const TreeInput in{&X, &bins, grad, hess};
    TreeWorkspace ws;
    ws.rows.resize(static_cast<size_t>(X.n_rows));
    std::iota(ws.rows.begin(), ws.rows.end(), 0);
    Tree tree;
    const TreeParams params = tree_params_of(b, std::vector<double>(X.n_cols, 0.5));
    grow_node(tree, in, 0, static_cast<int32_t>(X.n_rows), 0, params, b.rng, outputs_of(b), -kInf,
              kInf, ws);
    return tree;
}

}  // namespace vorlent::testing
