#include <pybind11/stl.h>

#include <cstring>
#include <sstream>
#include <string>
#include <string_view>

#include "io/model_bytes.hpp"
#include "model/node_cover.hpp"
#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"

namespace vorlent::binding {
namespace {

// The Python object of a booster that a method has loaded, and what its holder keeps.
py::handle object_of(const Booster& b) {
    return py::detail::get_object_handle(&b, py::detail::get_type_info(typeid(Booster)));
}

int32_t thread_count_of(const Booster& b) {
    auto* inst = reinterpret_cast<py::detail::instance*>(object_of(b).ptr());
    return inst->get_value_and_holder(py::detail::get_type_info(typeid(Booster)))
        .holder<BoosterHolder>()
        .n_threads();
}

// The constructor keywords that rebuild b's hyper-parameters, in the constructor's order.
py::dict parameters(const Booster& b) {
    py::dict p;
    const BoosterParams& q = b.params;
    p["n_estimators"] = q.n_estimators;
    p["learning_rate"] = q.learning_rate;
    p["max_depth"] = q.max_depth;
    p["max_bins"] = q.max_bins;
    p["reg_lambda"] = q.reg_lambda;
    p["min_samples"] = q.min_samples;
    p["subsample"] = q.subsample;
    p["colsample"] = q.colsample;
    p["seed"] = q.seed;
    p["objective"] = static_cast<int32_t>(q.objective);
    p["loss"] = static_cast<int32_t>(q.loss);
    p["alpha"] = q.alpha;
    p["clip"] = q.clip;
    p["monotone"] = q.monotone;
    p["categorical"] = q.categorical;
    p["max_lineage"] = q.max_lineage;
    p["split_mode"] = static_cast<int32_t>(q.split_mode);
    p["n_threads"] = thread_count_of(b);
    p["max_pair_columns"] = q.max_pair_columns;
    p["best_of_kinds"] = q.best_of_kinds;
    p["learn_missing"] = q.learn_missing;
    p["exact_sums"] = q.exact_sums;
    return p;
}

// The node covers recorded in training, every tree's in turn, as little-endian f64 bytes:
// the model bytes do not carry them, and Shapley values of a copy need them.
py::bytes covers_as_bytes(const NodeCovers& covers) {
    std::string out;
    for (const std::vector<double>& tree : covers) {
        out.append(reinterpret_cast<const char*>(tree.data()), tree.size() * sizeof(double));
    }
    return as_bytes(out);
}

// The inverse of covers_as_bytes for the model's trees; refuses bytes of another length
// and counts that are negative or not finite.
NodeCovers covers_from_bytes(const Booster& b, std::string_view bytes) {
    size_t nodes = 0;
    for (const Tree& tree : b.model.trees) nodes += tree.size();
    if (bytes.size() != nodes * sizeof(double)) {
        fail("state: node_covers holds " + std::to_string(bytes.size()) + " bytes, the model's " +
             std::to_string(nodes) + " nodes need " + std::to_string(nodes * sizeof(double)));
    }
    NodeCovers covers;
    covers.reserve(b.model.trees.size());
    const char* at = bytes.data();
    for (const Tree& tree : b.model.trees) {
        std::vector<double> cover(tree.size());
        std::memcpy(cover.data(), at, tree.size() * sizeof(double));
        at += tree.size() * sizeof(double);
        for (double c : cover) {
            if (!(c >= 0.0 && c <= 1e300)) fail("state: node_covers holds a bad count");
        }
        covers.push_back(std::move(cover));
    }
    return covers;
}

// What a copy needs beyond the parameters and the model bytes to go on as the original
// would: the random engine (row and column sampling of fit_more), the best round of
// the last early-stopped fit and, when training recorded them, the node covers.
py::dict training_state(const Booster& b) {
    std::ostringstream engine;
    engine << b.rng;
    py::dict t;
    t["random_engine"] = engine.str();
    t["best_iteration"] = b.best_iteration;
    if (!b.model.trees.empty() && covers_match(b.model.trees, b.model.node_covers)) {
        t["node_covers"] = covers_as_bytes(b.model.node_covers);
    }
    return t;
}

py::tuple get_state(const Booster& b) {
    const std::string model = without_gil([&] { return serialize_model(b.model); });
    return py::make_tuple(parameters(b), as_bytes(model), training_state(b));
}

void restore_training_state(Booster& b, const py::dict& t) {
    const bool has_covers = t.contains("node_covers");
    if (t.size() != 2u + has_covers || !t.contains("random_engine") ||
        !t.contains("best_iteration")) {
        fail("state: the training state must hold random_engine and best_iteration (and "
             "optionally node_covers)");
    }
    if (has_covers && !py::isinstance<py::bytes>(t["node_covers"])) {
        throw py::type_error("state: node_covers must be bytes");
    }
    if (!py::isinstance<py::str>(t["random_engine"]) ||
        !py::isinstance<py::int_>(t["best_iteration"])) {
        throw py::type_error("state: random_engine must be a str and best_iteration an int");
    }
    std::istringstream engine(t["random_engine"].cast<std::string>());
    engine >> b.rng;
    if (engine.fail()) fail("state: the random engine's state is malformed");
    // Compared as Python ints, so that no value can overflow the cast.
    const py::object best = t["best_iteration"];
    if (best < py::int_(-1) || best >= py::int_(b.n_trees())) {
        fail("state: best_iteration " + py::repr(best).cast<std::string>() +
             " is not -1 or a round of the model");
    }
    b.best_iteration = best.cast<int32_t>();
    if (has_covers)
        b.model.node_covers = covers_from_bytes(b, t["node_covers"].cast<std::string_view>());
}

// A new booster from get_state's tuple. The parameters go through the constructor, so they
// are checked as there; the model bytes through the checked reader.
BoosterHolder restore(const py::tuple& state) {
    if (state.size() != 3 || !py::isinstance<py::dict>(state[0]) ||
        !py::isinstance<py::bytes>(state[1]) || !py::isinstance<py::dict>(state[2])) {
        throw py::type_error(
            "state must be a (parameters: dict, model: bytes, training state: dict) tuple");
    }
    const py::object fresh = py::type::of<Booster>()(**state[0].cast<py::dict>());
    // Nobody else can reach `fresh`, so its booster is used outside a call.
    Booster& staged = fresh.cast<Booster&>();
    const int32_t n_threads = thread_count_of(staged);
    const std::string_view model = state[1].cast<py::bytes>();
    staged.load_model(reinterpret_cast<const uint8_t*>(model.data()), model.size());
    restore_training_state(staged, state[2].cast<py::dict>());
    return BoosterHolder(new Booster(std::move(staged)), n_threads);
}

// Booster(...) with the parameters that differ from the defaults.
std::string describe(const Booster& b) {
    const py::dict mine = parameters(b);
    const py::object plain = py::type::of<Booster>()();
    const py::dict defaults = parameters(plain.cast<const Booster&>());
    std::string out = py::type::handle_of(object_of(b)).attr("__name__").cast<std::string>() + "(";
    bool first = true;
    for (const auto& [key, value] : mine) {
        if (value.equal(defaults[key])) continue;
        out += (first ? "" : ", ") + key.cast<std::string>() + "=" +
               py::repr(value).cast<std::string>();
        first = false;
    }
    return out + ")";
}

}  // namespace

void def_state(BoosterClass& cls) {
    cls.def("__getstate__", &get_state, docs::kGetState)
        .def(
            "__setstate__",
            [](py::detail::value_and_holder& v_h, const py::tuple& state) {
                py::detail::initimpl::construct<BoosterClass>(v_h, restore(state), false);
            },
            py::detail::is_new_style_constructor(), docs::kSetState)
        .def("__repr__", &describe, docs::kRepr);
}

}  // namespace vorlent::binding
