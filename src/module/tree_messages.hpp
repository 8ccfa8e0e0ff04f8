#pragma once
// The messages that grow a tree on shards: the round's summary and grids, the statistics
// requests, the route rules, and the finished tree with its projection directions.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "exact/fixed_grid.hpp"
#include "exact/level_stats.hpp"
#include "model/node.hpp"

namespace vorlent::binding {

namespace py = pybind11;

// Round summary: (bag_rows, nonfinite, max_abs_grad, max_hess).
py::tuple encode(const RoundSummary& s);
RoundSummary decode_summary(const py::handle& h);

// The grid whose step is 2^exponent (exact/fixed_grid.hpp).
FixedGrid grid_of(int32_t exponent);

// Statistics request: (kind, nodes, node_ids, first_output, second_output, item_begin,
// projections, pairs as (a, b, top) triples, projection_bins, lineage candidates).
py::tuple encode(const StatsRequest& r);
StatsRequest decode_request(const py::tuple& t);

// Route rules: a list of (node, left, right, feature, threshold, missing_right, bin_side,
// pair test, direction); a projection test's direction (one weight per column) is its
// rule's one, other tests have an empty one.
py::list encode(const std::vector<RouteRule>& rules);
std::vector<RouteRule> decode_rules(const py::list& list);

// A tree of axis, pair and projection tests: a list of (is_leaf, feature, threshold,
// missing_right, left, right, value, leaf_values, pair test, projection), the projection an
// index into the directions that travel with the tree (-1 for none).
py::list encode(const Tree& tree);
Tree decode_tree(const py::list& list);

// Directions: a list of arrays, one weight per column each.
py::list encode(const Directions& directions);
Directions decode_directions(const py::handle& h);

}  // namespace vorlent::binding
