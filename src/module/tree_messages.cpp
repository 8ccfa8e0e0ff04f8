#include "module/tree_messages.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "exact/lineage_stats.hpp"
#include "module/shard_wire.hpp"

namespace vorlent::binding {

py::tuple encode(const RoundSummary& s) {
    return py::make_tuple(s.bag_rows, s.nonfinite, s.max_abs_grad, s.max_hess);
}
RoundSummary decode_summary(const py::handle& h) {
    const auto t = h.cast<py::tuple>();
    return RoundSummary{t[0].cast<int64_t>(), t[1].cast<int64_t>(), t[2].cast<double>(),
                        t[3].cast<double>()};
}

FixedGrid grid_of(int32_t exponent) {
    FixedGrid g;
    g.exponent = exponent;
    g.scale = std::ldexp(1.0, kGridFractionBits - exponent);
    g.step = std::ldexp(1.0, exponent - kGridFractionBits);
    return g;
}

namespace {

// A projection: (form, feature_a, feature_b, coef_a, coef_b, offsets, features, coefs, start,
// lo, hi).
py::tuple encode(const Projection& p) {
    return py::make_tuple(p.form, p.feature_a, p.feature_b, p.coef_a, p.coef_b, to_numpy(p.offsets),
                          to_numpy(p.features), to_numpy(p.coefs), p.start, p.lo, p.hi);
}
Projection decode_projection(const py::handle& h) {
    const auto t = h.cast<py::tuple>();
    if (t.size() != 11) fail("shard message: a projection of the wrong size");
    Projection p;
    p.form = t[0].cast<int32_t>();
    p.feature_a = t[1].cast<int32_t>();
    p.feature_b = t[2].cast<int32_t>();
    p.coef_a = t[3].cast<double>();
    p.coef_b = t[4].cast<double>();
    p.offsets = from_numpy<double>(t[5]);
    p.features = from_numpy<int32_t>(t[6]);
    p.coefs = from_numpy<double>(t[7]);
    p.start = t[8].cast<double>();
    p.lo = t[9].cast<double>();
    p.hi = t[10].cast<double>();
    return p;
}

// Lineage candidates: (gradient grid exponent, hessian grid exponent, slots, node_start,
// entry_start, column, coef, exponent); None for requests of other kinds.
py::object encode(const std::shared_ptr<const LineageCandidates>& c) {
    if (c == nullptr) return py::none();
    return py::make_tuple(c->grids.grad.exponent, c->grids.hess.exponent, c->slots,
                          to_numpy(c->node_start), to_numpy(c->entry_start), to_numpy(c->column),
                          to_numpy(c->coef), to_numpy(c->exponent));
}
std::shared_ptr<const LineageCandidates> decode_candidates(const py::handle& h) {
    const auto t = h.cast<py::tuple>();
    if (t.size() != 8) fail("shard message: lineage candidates of the wrong size");
    auto c = std::make_shared<LineageCandidates>();
    c->grids = RoundGrids{grid_of(t[0].cast<int32_t>()), grid_of(t[1].cast<int32_t>())};
    c->slots = t[2].cast<int32_t>();
    c->node_start = from_numpy<int32_t>(t[3]);
    c->entry_start = from_numpy<int64_t>(t[4]);
    c->column = from_numpy<int32_t>(t[5]);
    c->coef = from_numpy<double>(t[6]);
    c->exponent = from_numpy<int32_t>(t[7]);
    return c;
}

// The test of a node beside its axis fields: (kind, feature_b, coef_a, coef_b, bias,
// category_values), for pair and projection tests (kind 0, with n.projection set first).
py::tuple encode_pair_test(const Node& n) {
    return py::make_tuple(n.kind, n.feature_b, n.coef_a, n.coef_b, n.bias,
                          to_numpy(n.category_values));
}
void decode_pair_test(const py::handle& h, Node& n) {
    const auto t = h.cast<py::tuple>();
    if (t.size() != 6) fail("shard message: a node test of the wrong size");
    n.kind = t[0].cast<int32_t>();
    const bool projected = n.projection >= 0 && n.kind == kNoSplit;
    if (n.kind != kAxis && n.kind != kLinearPair && n.kind != kCategoryPair && !projected) {
        fail("shard message: a node test of an unknown kind");
    }
    n.feature_b = t[1].cast<int32_t>();
    n.coef_a = t[2].cast<double>();
    n.coef_b = t[3].cast<double>();
    n.bias = t[4].cast<double>();
    n.category_values = from_numpy<double>(t[5]);
}

}  // namespace

py::tuple encode(const StatsRequest& r) {
    py::list projections;
    for (const Projection& p : r.projections) projections.append(encode(p));
    std::vector<int32_t> pairs;
    for (const ColumnPair& p : r.pairs) pairs.insert(pairs.end(), {p.a, p.b, p.top});
    return py::make_tuple(static_cast<int64_t>(r.kind), to_numpy(r.nodes), r.node_ids,
                          to_numpy(r.first_output), to_numpy(r.second_output),
                          to_numpy(r.item_begin), projections, to_numpy(pairs), r.projection_bins,
                          encode(r.lineage));
}
StatsRequest decode_request(const py::tuple& t) {
    StatsRequest r;
    if (t.size() != 10) fail("shard message: a stats request of the wrong size");
    const auto kind = t[0].cast<int64_t>();
    if (kind != kOutputSums && kind != kBinHistograms && kind != kLineageMoments &&
        !item_kind(kind)) {
        fail("shard message: unknown stats kind");
    }
    r.kind = static_cast<StatsKind>(kind);
    r.nodes = from_numpy<int32_t>(t[1]);
    r.node_ids = t[2].cast<int32_t>();
    r.first_output = from_numpy<int32_t>(t[3]);
    r.second_output = from_numpy<int32_t>(t[4]);
    r.item_begin = from_numpy<int32_t>(t[5]);
    for (const py::handle h : t[6].cast<py::list>()) r.projections.push_back(decode_projection(h));
    const std::vector<int32_t> pairs = from_numpy<int32_t>(t[7]);
    if (pairs.size() % 3 != 0) fail("shard message: column pairs cut off");
    for (size_t i = 0; i < pairs.size(); i += 3) {
        r.pairs.push_back(ColumnPair{pairs[i], pairs[i + 1], pairs[i + 2]});
    }
    r.projection_bins = t[8].cast<int32_t>();
    if (kind == kLineageMoments) {
        if (t[9].is_none()) fail("shard message: a lineage request without its candidates");
        r.lineage = decode_candidates(t[9]);
    }
    return r;
}

py::list encode(const std::vector<RouteRule>& rules) {
    py::list out;
    for (const RouteRule& r : rules) {
        const bool projected =
            r.test.projection >= 0 && static_cast<size_t>(r.test.projection) < r.projection.size();
        out.append(py::make_tuple(
            r.node, r.left, r.right, r.test.feature_a, r.test.threshold, r.test.missing_right,
            to_numpy(r.bin_side), encode_pair_test(r.test),
            to_numpy(projected ? r.projection[r.test.projection] : std::vector<double>{})));
    }
    return out;
}
std::vector<RouteRule> decode_rules(const py::list& list) {
    std::vector<RouteRule> rules;
    for (const py::handle h : list) {
        const auto t = h.cast<py::tuple>();
        RouteRule r;
        r.node = t[0].cast<int32_t>();
        r.left = t[1].cast<int32_t>();
        r.right = t[2].cast<int32_t>();
        r.test.is_leaf = false;
        r.test.kind = kAxis;
        r.test.feature_a = t[3].cast<int32_t>();
        r.test.threshold = t[4].cast<double>();
        r.test.missing_right = t[5].cast<int32_t>();
        r.bin_side = from_numpy<uint8_t>(t[6]);
        if (t.size() != 9) fail("shard message: a route rule of the wrong size");
        std::vector<double> direction = from_numpy<double>(t[8]);
        if (!direction.empty()) {
            r.test.projection = 0;
            r.projection.push_back(std::move(direction));
        }
        decode_pair_test(t[7], r.test);
        rules.push_back(std::move(r));
    }
    return rules;
}

py::list encode(const Tree& tree) {
    py::list out;
    for (const Node& n : tree) {
        out.append(py::make_tuple(n.is_leaf, n.feature_a, n.threshold, n.missing_right, n.left,
                                  n.right, n.value, to_numpy(n.leaf_values), encode_pair_test(n),
                                  n.projection));
    }
    return out;
}
py::list encode(const Directions& directions) {
    py::list out;
    for (const std::vector<double>& d : directions) out.append(to_numpy(d));
    return out;
}
Directions decode_directions(const py::handle& h) {
    Directions out;
    if (h.is_none()) return out;
    for (const py::handle d : h.cast<py::list>()) out.push_back(from_numpy<double>(d));
    return out;
}
Tree decode_tree(const py::list& list) {
    Tree tree;
    for (const py::handle h : list) {
        const auto t = h.cast<py::tuple>();
        Node n;
        n.is_leaf = t[0].cast<bool>();
        n.kind = n.is_leaf ? kNoSplit : kAxis;
        n.feature_a = t[1].cast<int32_t>();
        n.threshold = t[2].cast<double>();
        n.missing_right = t[3].cast<int32_t>();
        n.left = t[4].cast<int32_t>();
        n.right = t[5].cast<int32_t>();
        n.value = t[6].cast<double>();
        n.leaf_values = from_numpy<double>(t[7]);
        if (t.size() != 10) fail("shard message: a tree node of the wrong size");
        n.projection = std::max(t[9].cast<int32_t>(), -1);
        if (!n.is_leaf) decode_pair_test(t[8], n);
        tree.push_back(std::move(n));
    }
    // Depth-first order: a node's children come after it, so every walk ends.
    const auto size = static_cast<int32_t>(tree.size());
    for (int32_t i = 0; i < size; ++i) {
        const Node& n = tree[i];
        if (!n.is_leaf && (n.left <= i || n.left >= size || n.right <= i || n.right >= size)) {
            fail("shard message: a tree node's child lies outside the tree");
        }
    }
    if (tree.empty()) fail("shard message: an empty tree");
    return tree;
}

}  // namespace vorlent::binding
