#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/register.hpp"
#include "module/thread_count.hpp"

namespace vorlent::binding {
namespace {

BoosterHolder make_booster(int32_t n_estimators, double learning_rate, int32_t max_depth,
                           int32_t max_bins, double reg_lambda, int32_t min_samples,
                           double subsample, double colsample, uint32_t seed, int32_t objective,
                           int32_t loss, double alpha, int32_t clip, std::vector<int32_t> monotone,
                           std::vector<int32_t> categorical, int32_t max_lineage,
                           int32_t split_mode, int32_t n_threads, int32_t max_pair_columns,
                           bool best_of_kinds, bool learn_missing, bool exact_sums) {
    if (n_threads < 0 || n_threads > kMaxThreads) {
        fail("n_threads must be 0 (OpenMP's default) or a thread count from 1 to " +
             std::to_string(kMaxThreads) + ", got " + std::to_string(n_threads));
    }
    auto booster = std::make_unique<Booster>(n_estimators, learning_rate, max_depth, max_bins,
                                             reg_lambda, min_samples, subsample, colsample, seed,
                                             objective, loss, alpha, clip, std::move(monotone),
                                             std::move(categorical), max_lineage, split_mode);
    booster->params.max_pair_columns = max_pair_columns;
    booster->params.best_of_kinds = best_of_kinds;
    booster->params.learn_missing = learn_missing;
    booster->params.exact_sums = exact_sums;
    try {
        check_construction(booster->params);
    } catch (const std::invalid_argument& e) {
        fail(e.what());
    }
    return BoosterHolder(booster.release(), n_threads);
}

}  // namespace

void register_booster(py::module_& m) {
    BoosterClass cls(m, "Booster", docs::kBooster);
    cls.def(py::init(&make_booster), py::arg("n_estimators") = 60, py::arg("learning_rate") = 0.12,
            py::arg("max_depth") = 4, py::arg("max_bins") = 64, py::arg("reg_lambda") = 1.0,
            py::arg("min_samples") = 10, py::arg("subsample") = 1.0, py::arg("colsample") = 1.0,
            py::arg("seed") = 42u, py::arg("objective") = 0, py::arg("loss") = 0,
            py::arg("alpha") = 0.9, py::arg("clip") = 0,
            py::arg("monotone") = std::vector<int32_t>{},
            py::arg("categorical") = std::vector<int32_t>{}, py::arg("max_lineage") = 0,
            py::arg("split_mode") = 0, py::arg("n_threads") = 0, py::arg("max_pair_columns") = 0,
            py::arg("best_of_kinds") = false, py::arg("learn_missing") = false,
            py::arg("exact_sums") = false);
    def_training(cls);
    def_prediction(cls);
    def_introspection(cls);
    def_persistence(cls);
    def_state(cls);
    def_shapley(cls);
    def_trees(cls);
}

}  // namespace vorlent::binding
