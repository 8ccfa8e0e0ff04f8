#include <optional>
#include <string>

#include "common/memory.hpp"
#include "model/interaction.hpp"
#include "model/node_cover.hpp"
#include "model/shapley.hpp"
#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"

namespace vorlent::binding {
namespace {

constexpr const char* kShapValuesDoc = R"doc(Exact Shapley values of the raw score, per row.

Uses the path-dependent (tree-structure) expectation: a split whose features are all in
the coalition sends the row its own way; any other split sends it down both sides,
weighted by each side's cover. A pair split is decided only when both of its features
are in the coalition, a projection split only when all of its non-zero columns are.
The values explain the unclipped raw score (the sum of the start score and the trees);
``clip`` is not applied.

Parameters
----------
X : array_like of shape (n_rows, n_cols)
    Rows to explain; missing values are NaN.
background : array_like of shape (n_background, n_cols), optional
    Rows whose counts at every node give the covers. By default the covers recorded
    when the trees were grown (the rows of each tree's bag) are used; a model loaded with
    ``deserialize`` has none and needs ``background``.
n_trees : int, optional
    Explain the score of the first ``n_trees`` trees only (0: the start score alone,
    which leaves every value but the expected value at 0); None, the default, uses every
    tree. The values then sum to ``predict_raw(X, n_trees=n_trees)`` (unclipped).

Returns
-------
numpy.ndarray
    Shape (n_rows, n_cols + 1), or (n_rows, n_outputs, n_cols + 1) for the multiclass
    objective. The last column is the expected value, the same for every row; each row
    (and output) sums to its raw score up to rounding.

Raises
------
ValueError
    When X or background is not two-dimensional or lacks a column the trees read, when
    background is empty, when the model has no covers and no background is given, or when
    n_trees is negative or above the number of trees.
KeyboardInterrupt
    Ctrl-C on the main thread stops the call within milliseconds; the booster is unchanged.

Examples
--------
>>> import numpy as np, vorlent_core as vc
>>> X = np.random.default_rng(0).normal(size=(200, 3))
>>> b = vc.Booster(n_estimators=5)
>>> b.fit(X, (X[:, 0] > 0).astype(float))
>>> phi = b.shap_values(X[:4])
>>> bool(np.allclose(phi.sum(axis=1), b.predict_raw(X[:4])))
True
)doc";

// Counts of every node from the background rows, or the covers recorded at training.
NodeCovers model_covers(const Booster& b, const OptionalF64Array& background) {
    if (!background) {
        if (!covers_match(b.model.trees, b.model.node_covers)) {
            fail(
                "this model has no node covers (they are recorded by fit and fit_more and are "
                "not part of the model bytes): pass background rows to count them");
        }
        return b.model.node_covers;
    }
    const MatrixView view = as_matrix(*background, "background");
    if (view.n_rows < 1) fail("background must hold at least one row");
    if (view.n_cols < b.model.required_width) {
        fail("background has " + std::to_string(view.n_cols) +
             " columns, but the model reads column " + std::to_string(b.model.required_width - 1));
    }
    return background_covers(b.model.trees, b.model.projections, view);
}

// Checks the arguments, then fills an array of one block of `block` values per row and
// output with compute(model, covers, view, out, count, stop), without the interpreter lock
// and stopped by Ctrl-C.
template <typename Compute>
py::array_t<double> explained_array(const Booster& b, const F64Array& X,
                                    const OptionalF64Array& background,
                                    const std::optional<int64_t>& n_trees, bool square,
                                    const char* what, Compute compute) {
    const int32_t count = tree_count(b, n_trees);
    const MatrixView view = model_input(b, X);
    const py::ssize_t outputs = b.model.objective == kMulticlass ? b.model.n_outputs : 1;
    const py::ssize_t width = static_cast<py::ssize_t>(view.n_cols) + 1;
    const py::ssize_t block = square ? width * width : width;
    check_memory_need(8.0 * static_cast<double>(view.n_rows) * outputs * block,
                      std::string(what) + std::to_string(view.n_rows) + " rows");
    const NodeCovers covers = model_covers(b, background);
    std::vector<py::ssize_t> shape{py::ssize_t{view.n_rows}};
    if (b.model.objective == kMulticlass) shape.push_back(outputs);
    shape.push_back(width);
    if (square) shape.push_back(width);
    py::array_t<double> out(shape);
    double* values = out.mutable_data();
    interruptible(
        [&](const StopCheck& stop) { compute(b.model, covers, view, values, count, stop); });
    return out;
}

py::array_t<double> shapley_array(const Booster& b, const F64Array& X,
                                  const OptionalF64Array& background,
                                  const std::optional<int64_t>& n_trees) {
    return explained_array(
        b, X, background, n_trees, false, "the Shapley values of ",
        [](const Model& m, const NodeCovers& c, const MatrixView& v, double* out, int32_t count,
           const StopCheck& stop) { shap_values(m, c, v, out, count, stop); });
}

py::array_t<double> interaction_array(const Booster& b, const F64Array& X,
                                      const OptionalF64Array& background,
                                      const std::optional<int64_t>& n_trees) {
    return explained_array(
        b, X, background, n_trees, true, "the Shapley interaction values of ",
        [](const Model& m, const NodeCovers& c, const MatrixView& v, double* out, int32_t count,
           const StopCheck& stop) { interaction_values(m, c, v, out, count, stop); });
}

}  // namespace

void def_shapley(BoosterClass& cls) {
    cls.def("shap_values", &shapley_array, py::arg("X"), py::arg("background") = py::none(),
            py::arg("n_trees") = py::none(), kShapValuesDoc);
    cls.def("interaction_values", &interaction_array, py::arg("X"),
            py::arg("background") = py::none(), py::arg("n_trees") = py::none(),
            docs::kInteractionValues);
}

}  // namespace vorlent::binding
