#pragma once
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>

#include "boosting/booster.hpp"
#include "boosting/train.hpp"
#include "module/arrays.hpp"
#include "module/booster_caster.hpp"
#include "module/booster_holder.hpp"

namespace vorlent::binding {

using BoosterClass = pybind11::class_<Booster, BoosterHolder>;

// make_folds, te_fit_transform, te_transform, in this order.
void register_prep(pybind11::module_& m);

// Shard and fit_shards: training on rows held by other processes.
void register_shards(pybind11::module_& m);

// The Booster class: the constructor, then each area's methods in this order.
void register_booster(pybind11::module_& m);
void def_training(BoosterClass& cls);       // fit, fit_more, truncate
void def_prediction(BoosterClass& cls);     // n_trees, best_iteration, predict_raw, predict_proba
void def_introspection(BoosterClass& cls);  // importances, interaction pairs, explain
void def_persistence(BoosterClass& cls);    // serialize, deserialize
void def_state(BoosterClass& cls);          // __getstate__, __setstate__, __repr__
void def_shapley(BoosterClass& cls);        // shap_values, interaction_values
void def_trees(BoosterClass& cls);          // tree_nodes, model_facts

// A matrix to route through the model: two-dimensional and wide enough for every column
// that the trees read. Raises ValueError naming X otherwise.
MatrixView model_input(const Booster& b, const F64Array& X);

// The n_trees argument of the prediction calls as the core's tree count: None for every
// tree (kAllTrees), else a count from 0 to the model's trees. Raises ValueError naming
// n_trees otherwise.
int32_t tree_count(const Booster& b, const std::optional<int64_t>& n_trees);

// The observer that calls a Python callback(round, train_scores, val_scores) after every
// round (None for scores the round does not have); None gives no observer, anything else
// that is not callable a TypeError.
RoundObserver round_callback(const Booster& b, const pybind11::object& callback);

// A bytes object holding data; MemoryError when it cannot be allocated.
pybind11::bytes as_bytes(const std::string& data);

}  // namespace vorlent::binding
