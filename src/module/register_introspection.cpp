#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/memory.hpp"
#include "model/explain.hpp"
#include "model/importance.hpp"
#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"

namespace vorlent::binding {
namespace {

py::array_t<double> normalised(const std::vector<double>& gain) {
    py::array_t<double> out(static_cast<py::ssize_t>(gain.size()));
    normalise_gains(gain.data(), gain.size(), out.mutable_data(), gain.size());
    return out;
}

// (n_features, n_features): zero but for the credited pairs. Only this call pays for the
// square, and loaded bytes can claim a large n_features, so it is checked against memory
// first. A pair outside the square (which no trained or loaded model has) is left out.
py::array_t<double> interaction_matrix(const Booster& b) {
    const py::ssize_t side = std::max<int32_t>(b.model.n_features, 0);
    check_memory_need(8.0 * static_cast<double>(side) * static_cast<double>(side),
                      "the interaction matrix of " + std::to_string(side) + " features");
    py::array_t<double> out({side, side});
    double* cells = out.mutable_data();
    std::fill_n(cells, static_cast<size_t>(side) * static_cast<size_t>(side), 0.0);
    for (const PairGain& p : normalised_pairs(b.model.importances.interaction_gain)) {
        if (p.a < side && p.b < side) cells[p.a * side + p.b] = p.gain;
    }
    return out;
}

// The credited pairs as (pairs, importances): an int64 array of shape (k, 2) holding
// (feature_a, feature_b) in increasing order, and their k shares.
py::tuple interaction_pairs(const Booster& b) {
    const std::vector<PairGain> pairs = normalised_pairs(b.model.importances.interaction_gain);
    const auto k = static_cast<py::ssize_t>(pairs.size());
    py::array_t<int64_t> columns({k, py::ssize_t{2}});
    py::array_t<double> shares(k);
    int64_t* c = columns.mutable_data();
    double* g = shares.mutable_data();
    for (const PairGain& p : pairs) {
        *c++ = p.a;
        *c++ = p.b;
        *g++ = p.gain;
    }
    return py::make_tuple(columns, shares);
}

}  // namespace

void def_introspection(BoosterClass& cls) {
    cls.def(
           "feature_importances",
           [](const Booster& b) { return normalised(b.model.importances.feature_gain); },
           docs::kFeatureImportances)
        .def(
            "coefficient_importances",
            [](const Booster& b) { return normalised(b.model.importances.coefficient_gain); },
            docs::kCoefficientImportances)
        .def("interaction_importances", &interaction_matrix, docs::kInteractionImportances)
        .def("interaction_pairs", &interaction_pairs, docs::kInteractionPairs)
        .def(
            "validation_losses",
            [](const Booster& b) {
                py::array_t<double> out(static_cast<py::ssize_t>(b.validation_losses.size()));
                std::copy(b.validation_losses.begin(), b.validation_losses.end(),
                          out.mutable_data());
                return out;
            },
            docs::kValidationLosses)
        .def(
            "explain",
            [](const Booster& b, const F64Array& X, const std::optional<int64_t>& n_trees) {
                const int32_t count = tree_count(b, n_trees);
                const MatrixView view = model_input(b, X);
                py::array_t<double> out({view.n_rows, view.n_cols});
                double* contributions = out.mutable_data();
                interruptible([&](const StopCheck& stop) {
                    explain(b.model, view, contributions, count, stop);
                });
                return out;
            },
            py::arg("X"), py::pos_only(), py::arg("n_trees") = py::none(), docs::kExplain);
}

}  // namespace vorlent::binding
