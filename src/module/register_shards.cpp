// Training on shards held by other processes: the shard object a worker keeps (Shard) and
// the coordinator (fit_shards), which reaches every shard through one Python callable.
// Messages cross as tuples of ints, floats and NumPy arrays; everything that merges or
// decides is core code.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "boosting/remote_fit.hpp"
#include "boosting/row_shard.hpp"
#include "module/arrays.hpp"
#include "module/bin_messages.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"
#include "module/remote_rows.hpp"
#include "module/shard_caller.hpp"
#include "module/shard_input.hpp"
#include "module/shard_wire.hpp"
#include "module/tree_messages.hpp"

namespace vorlent::binding {
namespace {

// The messages a batch may carry.
bool batched_message(const std::string& name) {
    static const char* const kNames[] = {"loss_bound",
                                         "loss_sum",
                                         "set_bins",
                                         "column_bounds",
                                         "start",
                                         "fix_gradients",
                                         "route",
                                         "set_huber_delta",
                                         "add_tree",
                                         "begin_tree",
                                         "stats",
                                         "count_abs_residuals",
                                         "count_leaf_residuals",
                                         "target_range",
                                         "column_facts",
                                         "distinct",
                                         "count_columns",
                                         "extremes",
                                         "start_bounds",
                                         "start_sums",
                                         "count_targets",
                                         "raw_scores"};
    return std::any_of(std::begin(kNames), std::end(kNames),
                       [&](const char* n) { return name == n; });
}

}  // namespace

void register_shards(py::module_& m) {
    py::class_<RowShard>(m, "Shard",
                         "One worker's rows for training on shards: answers the coordinator's "
                         "messages (fit_shards) with summaries of its rows. X is read in place "
                         "(a float64 C-contiguous array is not copied): leave it unchanged.")
        .def(py::init(&shard_of_array), py::arg("X"), py::arg("y"), py::arg("sample_weight"),
             py::arg("first_row"), py::arg("settings"))
        .def_static("from_blocks", &shard_of_blocks, py::arg("blocks"), py::arg("settings"),
                    "One shard of several row blocks, each (X, y, sample_weight, first_row): "
                    "it answers once for all of them. Every block's X is read in place as by "
                    "Shard() (a float64 C-contiguous array is not copied, others are converted "
                    "once) and kept alive by the shard: leave them unchanged.")
        .def_property_readonly("n_rows", &RowShard::n_rows)
        .def("raw_scores",
             [](const RowShard& s) {
                 return py::make_tuple(to_numpy(s.global_rows()), to_numpy(s.scores()));
             })
        .def("column_facts",
             [](const RowShard& s) {
                 py::list out;
                 for (const ShardedCuts& facts : s.column_facts()) out.append(encode(facts));
                 return out;
             })
        .def("distinct",
             [](const RowShard& s, const I32Array& columns) {
                 py::list out;
                 for (const int32_t f : from_numpy<int32_t>(columns)) {
                     out.append(to_numpy(s.distinct(f).keys));
                 }
                 return out;
             })
        .def("count_columns",
             [](const RowShard& s, const I32Array& columns, const py::list& rounds) {
                 return packed_count_list(
                     s.count_columns(from_numpy<int32_t>(columns), decode_rounds(rounds)));
             })
        .def("extremes",
             [](const RowShard& s, const py::list& edges) {
                 std::vector<std::vector<double>> decoded;
                 for (const py::handle e : edges) decoded.push_back(from_numpy<double>(e));
                 py::list out;
                 for (const BinExtremes& e : s.extremes(decoded)) {
                     out.append(py::make_tuple(to_numpy(e.low), to_numpy(e.high)));
                 }
                 return out;
             })
        .def("set_bins",
             [](RowShard& s, const py::tuple& tables) { s.set_bins(decode_tables(tables)); })
        .def("column_bounds",
             [](const RowShard& s) {
                 return to_numpy(without_gil([&] { return s.column_bounds(); }));
             })
        .def("target_range", [](const RowShard& s) { return encode(s.target_range()); })
        .def("start_bounds",
             [](const RowShard& s, const py::tuple& range) {
                 return s.start_bounds(decode_range(range));
             })
        .def("start_sums",
             [](const RowShard& s, const py::tuple& range, const std::vector<double>& bounds) {
                 py::list out;
                 for (const ExactSum& sum : s.start_sums(decode_range(range), bounds)) {
                     out.append(encode_steps(sum));
                 }
                 return out;
             })
        .def("count_targets",
             [](const RowShard& s, const py::tuple& round) {
                 return packed_counts(s.count_targets(decode_round(round)));
             })
        .def("start", &RowShard::start)
        .def("count_abs_residuals",
             [](const RowShard& s, const py::tuple& round) {
                 return packed_counts(s.count_abs_residuals(decode_round(round)));
             })
        .def("set_huber_delta", &RowShard::set_huber_delta)
        .def("count_leaf_residuals",
             [](const RowShard& s, const I32Array& nodes, const py::list& rounds) {
                 return packed_count_list(
                     s.count_leaf_residuals(from_numpy<int32_t>(nodes), decode_rounds(rounds)));
             })
        .def("begin_tree",
             [](RowShard& s, uint64_t bag_key, double subsample) {
                 return encode(without_gil([&] { return s.begin_tree(bag_key, subsample); }));
             })
        .def("fix_gradients",
             [](RowShard& s, int32_t grad_exponent, int32_t hess_exponent) {
                 s.fix_gradients(RoundGrids{grid_of(grad_exponent), grid_of(hess_exponent)});
             })
        .def("stats",
             [](RowShard& s, const py::tuple& request) {
                 const StatsRequest r = decode_request(request);
                 std::vector<int64_t> out;
                 without_gil([&] { s.stats(r, out); });
                 return packed(out);
             })
        .def("route",
             [](RowShard& s, const py::list& rules, const I32Array& rule_of) {
                 const std::vector<RouteRule> r = decode_rules(rules);
                 const std::vector<int32_t> of(rule_of.data(), rule_of.data() + rule_of.size());
                 without_gil([&] { s.route(r, of); });
             })
        .def(
            "batch",
            [](py::object self, const py::list& messages, int64_t answered) -> py::object {
                const auto n = static_cast<int64_t>(messages.size());
                if (answered < 1 || (answered > 1 && answered > n)) {
                    fail("shard batch: answered must be 1 .. the number of messages");
                }
                py::object last = py::none();
                py::list answers;
                for (int64_t i = 0; i < n; ++i) {
                    const auto message = messages[i].cast<py::tuple>();
                    const auto name = message[0].cast<std::string>();
                    if (!batched_message(name)) fail("shard batch: no message " + name);
                    last = self.attr(name.c_str())(*message[1].cast<py::tuple>());
                    if (i >= n - answered) answers.append(last);
                }
                if (answered == 1) return last;
                return answers;
            },
            py::arg("messages"), py::arg("answered") = 1,
            "Answers the messages in order: the last one's answer, or with answered > 1 the "
            "list of the last `answered` ones' answers.")
        .def("loss_bound", &RowShard::loss_bound)
        .def("loss_sum",
             [](const RowShard& s, double bound) { return encode_steps(s.loss_sum(bound)); })
        .def(
            "add_tree",
            [](RowShard& s, const py::list& tree, const std::optional<I32Array>& leaf_of,
               const py::object& directions) {
                const Tree t = decode_tree(tree);
                const Directions d = decode_directions(directions);
                std::vector<int32_t> routed;
                if (leaf_of) routed.assign(leaf_of->data(), leaf_of->data() + leaf_of->size());
                without_gil([&] { s.add_tree(t, routed, d); });
            },
            py::arg("tree"), py::arg("leaf_of") = py::none(), py::arg("directions") = py::none());

    m.def(
        "fit_shards",
        [](Booster& b, int32_t n_features, bool weighted, const py::function& call,
           const std::optional<py::function>& val_call, int64_t n_val, int32_t es_patience,
           double es_tol, const py::object& callback) {
            if (!b.params.exact_sums) fail("fit_shards needs a booster with exact_sums=True");
            if (n_val < 0 || (n_val > 0 && !val_call)) {
                fail("fit_shards: n_val must be >= 0, with val_call when above 0");
            }
            ShardCaller shards(call);
            ShardCaller val(val_call ? *val_call : call);
            RemoteRows rows = remote_rows(shards, val, n_features, weighted, n_val);
            rows.watch.es_patience = es_patience;
            rows.watch.es_tol = es_tol;
            rows.watch.observer = round_callback(b, callback);
            // Ctrl-C stops training after the complete round, as in fit.
            interruptible([&](const RoundHook& hook) {
                rows.watch.between_rounds = hook;
                fit_remote(b, rows);
            });
        },
        py::arg("booster"), py::arg("n_features"), py::arg("weighted"), py::arg("call"),
        py::arg("val_call") = py::none(), py::arg("n_val") = 0, py::arg("es_patience") = 0,
        py::arg("es_tol") = 0.0, py::arg("callback") = py::none(),
        "Trains booster (exact_sums on, fresh) on rows held by shards: call(method, *args) "
        "must call the method of every Shard with the arguments and return their answers "
        "as a list, in any shard order. With val_call (the same for Shards of n_val "
        "validation rows) and es_patience >= 1, training stops early as fit does. callback(round, "
        "None, val_scores) runs after every round as fit's does (val_scores None without "
        "validation rows); a true result stops training. A failure before the first tree "
        "leaves booster as it was; Ctrl-C stops training after a complete round.");
}

}  // namespace vorlent::binding
