#include <pybind11/stl.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "model/node_cover.hpp"
#include "model/predict.hpp"
#include "module/register.hpp"

namespace vorlent::binding {
namespace {

constexpr const char* kTreeNodesDoc = R"doc(Every node of every tree, as stored, one dict per node.

Trees come in order, each in depth-first preorder (node 0 is the root). Each dict holds
``tree``, ``node``, ``is_leaf``, ``left`` and ``right`` (-1 for a leaf), ``kind`` (0 leaf,
1 axis, 2 linear pair, 3 categorical pair; a projection node keeps 0), ``feature_a``,
``feature_b``, ``threshold``, ``coef_a``, ``coef_b``, ``bias``, ``missing_right``,
``gain``, ``value`` (the Newton value, before the learning rate), ``contribution``
(``value`` times the learning rate: what a leaf adds to the raw score), ``leaf_values``
and ``contributions`` (multiclass leaves: one value per output, before and after the
learning rate), ``category_values`` (categorical pairs: the
offset of each category code), ``projection`` (the direction over all columns of a
projection node, else None) and ``cover`` (the training rows that reached the node, or
None when the model has no recorded covers).

A row goes left when its test holds: ``x[feature_a] < threshold`` (axis),
``coef_b * x[feature_b] + coef_a * x[feature_a] + bias < 0`` (linear pair),
``coef_b * x[feature_b] + category_values[code] + bias < 0`` (categorical pair, a code
without an offset counts 0), ``bias + sum_j x[j] * projection[j] < 0`` (projection);
a NaN in a value the test reads sends the row right when ``missing_right`` is 1.

Returns
-------
list of dict
)doc";

constexpr const char* kModelFactsDoc = R"doc(What the model bytes say about the model's shape.

For checking what is stored beside the bytes (a model file's header) against them, and for
rebuilding raw scores from ``tree_nodes``.

Returns
-------
dict
    ``objective`` (0 binary, 1 regression, 2 multiclass), ``n_outputs`` (scores per row:
    the class count for multiclass, else 1), ``n_features`` (the columns the model was
    trained on), ``n_trees``, ``learning_rate``, ``start_scores`` (the raw score of every
    output before any tree, one per output), ``clip`` (the ``(low, high)`` range that
    single-output raw scores are clamped to, or None) and ``category_counts`` (column ->
    the most category codes that a categorical-pair split on the column gives an offset;
    columns without such a split are absent).
)doc";

// Per category column: the longest offset list of its categorical-pair splits.
std::map<int32_t, size_t> category_counts(const Model& m) {
    std::map<int32_t, size_t> counts;
    for (const Tree& tree : m.trees) {
        for (const Node& n : tree) {
            if (n.is_leaf || n.category_values.empty()) continue;
            size_t& count = counts[n.feature_a];
            count = std::max(count, n.category_values.size());
        }
    }
    return counts;
}

py::dict model_facts(const Booster& b) {
    const Model& m = b.model;
    py::dict d;
    d["objective"] = static_cast<int32_t>(m.objective);
    d["n_outputs"] = m.n_outputs;
    d["n_features"] = m.n_features;
    d["n_trees"] = m.n_trees();
    d["learning_rate"] = m.learning_rate;
    d["start_scores"] = start_scores(m);
    d["clip"] =
        clamps_raw_scores(m) ? py::object(py::make_tuple(m.clip_low, m.clip_high)) : py::none();
    d["category_counts"] = category_counts(m);
    return d;
}

py::object node_cover(const NodeCovers& covers, bool recorded, size_t t, size_t i) {
    if (!recorded) return py::none();
    return py::float_(covers[t][i]);
}

py::dict node_record(const Booster& b, bool recorded, size_t t, size_t i) {
    const Node& n = b.model.trees[t][i];
    py::dict d;
    d["tree"] = t;
    d["node"] = i;
    d["is_leaf"] = n.is_leaf;
    d["left"] = n.left;
    d["right"] = n.right;
    d["kind"] = n.kind;
    d["feature_a"] = n.feature_a;
    d["feature_b"] = n.feature_b;
    d["threshold"] = n.threshold;
    d["coef_a"] = n.coef_a;
    d["coef_b"] = n.coef_b;
    d["bias"] = n.bias;
    d["missing_right"] = n.missing_right;
    d["gain"] = n.gain;
    d["value"] = n.value;
    d["leaf_values"] = n.leaf_values;
    // What a leaf adds to the raw score, computed as prediction does.
    std::vector<double> contributions(n.leaf_values.size());
    for (size_t j = 0; j < contributions.size(); ++j) {
        contributions[j] = n.leaf_values[j] * b.model.learning_rate;
    }
    d["contribution"] = n.value * b.model.learning_rate;
    d["contributions"] = contributions;
    d["category_values"] = n.category_values;
    const bool projected =
        n.projection >= 0 && static_cast<size_t>(n.projection) < b.model.projections.size();
    d["projection"] = projected ? py::cast(b.model.projections[n.projection]) : py::none();
    d["cover"] = node_cover(b.model.node_covers, recorded, t, i);
    return d;
}

py::list tree_nodes(const Booster& b) {
    const bool recorded = covers_match(b.model.trees, b.model.node_covers);
    py::list out;
    for (size_t t = 0; t < b.model.trees.size(); ++t) {
        for (size_t i = 0; i < b.model.trees[t].size(); ++i)
            out.append(node_record(b, recorded, t, i));
    }
    return out;
}

}  // namespace

void def_trees(BoosterClass& cls) {
    cls.def("tree_nodes", &tree_nodes, kTreeNodesDoc)
        .def("model_facts", &model_facts, kModelFactsDoc);
}

}  // namespace vorlent::binding
