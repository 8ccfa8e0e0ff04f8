// Training on shards held by other processes: the shard object a worker keeps (Shard) and
// the coordinator (fit_shards), which reaches every shard through one Python callable.
// Messages cross as tuples of ints, floats and NumPy arrays; everything that merges or
// decides is core code.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "boosting/remote_fit.hpp"
#include "boosting/row_shard.hpp"
#include "common/numeric.hpp"
#include "exact/lineage_stats.hpp"
#include "exact/stats_codec.hpp"
#include "module/arrays.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"

namespace vorlent::binding {
namespace {

using U64Array = py::array_t<uint64_t, kArrayFlags>;

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

template <class T>
std::vector<T> from_numpy(const py::handle& h) {
    const auto a = py::array_t<T, kArrayFlags>::ensure(h);
    if (!a || a.ndim() != 1) fail("shard message: a one-dimensional array expected");
    return std::vector<T>(a.data(), a.data() + a.shape(0));
}

std::vector<double> copy_or_empty(const OptionalF64Array& a, const char* name) {
    if (!a) return {};
    return std::vector<double>(a->data(), a->data() + vector_length(*a, name));
}

// The array's values, read in place rather than copied (a worker's block stays in memory
// once): the pointer holds a reference to the array and drops it with the interpreter lock,
// whichever thread lets the shard go.
std::shared_ptr<const double> held_values(const F64Array& X) {
    auto* owner = new py::object(X);
    return std::shared_ptr<const double>(X.data(), [owner](const double*) {
        py::gil_scoped_acquire held;
        delete owner;
    });
}

// A shard's statistics and selection counts travel packed (exact/stats_codec.hpp), as bytes:
// both are mostly zeros (empty bins, digits without keys).
void unpack_answer(const py::handle& h, std::vector<int64_t>& out) {
    if (!py::isinstance<py::bytes>(h)) fail("shard message: packed words must be bytes");
    char* data = nullptr;
    py::ssize_t size = 0;
    if (PyBytes_AsStringAndSize(h.ptr(), &data, &size) != 0) throw py::error_already_set();
    unpack_words(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size), out);
}

py::bytes packed(const std::vector<int64_t>& words) {
    const std::vector<uint8_t> bytes = pack_words(words.data(), std::ssize(words));
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Counts are unsigned words: packed as their two's-complement int64 (the empty slot's
// UINT64_MAX, -1, takes one byte).
py::bytes packed_counts(const std::vector<uint64_t>& counts) {
    return packed(std::vector<int64_t>(counts.begin(), counts.end()));
}
// Count buffers of many selections (one per column or node), each packed.
py::list packed_count_list(const std::vector<std::vector<uint64_t>>& buffers) {
    py::list out;
    for (const std::vector<uint64_t>& counts : buffers) out.append(packed_counts(counts));
    return out;
}
std::vector<uint64_t> unpacked_counts(const py::handle& h) {
    std::vector<int64_t> words;
    unpack_answer(h, words);
    return std::vector<uint64_t>(words.begin(), words.end());
}

// SelectRound: (depth, prefixes).
py::tuple encode(const SelectRound& r) { return py::make_tuple(r.depth, to_numpy(r.prefixes)); }
SelectRound decode_round(const py::tuple& t) {
    const auto depth = t[0].cast<int32_t>();
    // A digit's shift must stay inside the 64-bit key.
    if (depth < 0 || depth > 64 - kSelectDigitBits || depth % kSelectDigitBits != 0) {
        fail("shard message: a selection round of depth " + std::to_string(depth));
    }
    return SelectRound{depth, from_numpy<uint64_t>(t[1])};
}

std::vector<SelectRound> decode_rounds(const py::list& rounds) {
    std::vector<SelectRound> out;
    for (const py::handle h : rounds) out.push_back(decode_round(h.cast<py::tuple>()));
    return out;
}

// Column facts: (has_missing, n_values, lowest_key, highest_key).
py::tuple encode(const ShardedCuts& c) {
    return py::make_tuple(c.has_missing, c.n_values, c.lowest_key, c.highest_key);
}
ShardedCuts decode_facts(const py::handle& h) {
    const auto t = h.cast<py::tuple>();
    ShardedCuts c;
    c.has_missing = t[0].cast<bool>();
    c.n_values = t[1].cast<int64_t>();
    c.lowest_key = t[2].cast<uint64_t>();
    c.highest_key = t[3].cast<uint64_t>();
    return c;
}

// Bin tables: (edges, bin_low, bin_high, has_missing, narrow).
py::tuple encode(const BinnedMatrix& b) {
    py::list edges, low, high;
    for (size_t f = 0; f < b.edges.size(); ++f) {
        edges.append(to_numpy(b.edges[f]));
        low.append(to_numpy(b.bin_low[f]));
        high.append(to_numpy(b.bin_high[f]));
    }
    std::vector<bool> missing = b.has_missing;
    return py::make_tuple(edges, low, high, py::cast(missing), b.narrow);
}
BinnedMatrix decode_tables(const py::tuple& t) {
    BinnedMatrix b;
    for (const py::handle e : t[0].cast<py::list>()) b.edges.push_back(from_numpy<double>(e));
    for (const py::handle e : t[1].cast<py::list>()) b.bin_low.push_back(from_numpy<double>(e));
    for (const py::handle e : t[2].cast<py::list>()) b.bin_high.push_back(from_numpy<double>(e));
    b.has_missing = t[3].cast<std::vector<bool>>();
    b.narrow = t[4].cast<bool>();
    if (b.bin_low.size() != b.edges.size() || b.bin_high.size() != b.edges.size() ||
        b.has_missing.size() != b.edges.size()) {
        fail("shard message: bin tables of unequal lengths");
    }
    return b;
}

// Target range: (n, low, high).
TargetRange decode_range(const py::handle& h) {
    const auto t = h.cast<py::tuple>();
    return TargetRange{t[0].cast<int64_t>(), t[1].cast<uint64_t>(), t[2].cast<uint64_t>()};
}
py::tuple encode(const TargetRange& r) { return py::make_tuple(r.n, r.low, r.high); }

// An exact sum's total in steps, as a Python int.
py::object encode_steps(const ExactSum& s) {
    const ExactInt steps = s.steps();
    const bool negative = steps < 0;
    const auto magnitude = static_cast<unsigned __int128>(negative ? -steps : steps);
    py::int_ high(static_cast<uint64_t>(magnitude >> 64));
    py::int_ low(static_cast<uint64_t>(magnitude));
    py::object value = (high.attr("__lshift__")(64)).attr("__or__")(low);
    return negative ? value.attr("__neg__")() : value;
}
ExactInt decode_steps(const py::handle& h) {
    const py::int_ v = py::reinterpret_borrow<py::int_>(h);
    const bool negative = v.attr("__lt__")(0).cast<bool>();
    const py::object magnitude = negative ? v.attr("__neg__")() : py::object(v);
    const auto low = magnitude.attr("__and__")(py::int_(UINT64_MAX)).cast<uint64_t>();
    const auto high = magnitude.attr("__rshift__")(64).cast<uint64_t>();
    const auto m = static_cast<ExactInt>((static_cast<unsigned __int128>(high) << 64) | low);
    return negative ? -m : m;
}

// Round summary: (bag_rows, nonfinite, max_abs_grad, max_hess).
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

// Statistics request: (kind, nodes, node_ids, first_output, second_output, item_begin,
// projections, pairs as (a, b, top) triples, projection_bins, lineage candidates).
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

// Route rules: a list of (node, left, right, feature, threshold, missing_right, bin_side,
// pair test, direction); a projection test's direction (one weight per column) is its
// rule's one, other tests have an empty one.
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

// A tree of axis, pair and projection tests: a list of (is_leaf, feature, threshold,
// missing_right, left, right, value, leaf_values, pair test, projection), the projection an
// index into the directions that travel with the tree (-1 for none).
py::list encode(const Tree& tree) {
    py::list out;
    for (const Node& n : tree) {
        out.append(py::make_tuple(n.is_leaf, n.feature_a, n.threshold, n.missing_right, n.left,
                                  n.right, n.value, to_numpy(n.leaf_values), encode_pair_test(n),
                                  n.projection));
    }
    return out;
}
// Directions: a list of arrays, one weight per column each.
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

// The coordinator's view of the shards: call(method, *args) returns every shard's answer.
// Messages without an answer wait and travel with the next one that has an answer (as one
// "batch"), so that a round trip is paid only where the coordinator needs to hear back.
class ShardCaller {
public:
    explicit ShardCaller(py::function call) : call_(std::move(call)) {}

    // Both need the interpreter lock, as do the arguments' conversions.
    template <class... Args>
    py::list all(const char* method, Args&&... args) {
        py::object answers;
        if (pending_.empty()) {
            answers = call_(method, std::forward<Args>(args)...);
        } else {
            pending_.append(message(method, std::forward<Args>(args)...));
            py::list batch = pending_;
            pending_ = py::list();
            answers = call_("batch", batch);
        }
        return answers.cast<py::list>();
    }
    // Several messages that each have an answer, in one round trip after the waiting ones:
    // per message, every shard's answer.
    std::vector<py::list> several(const std::vector<py::tuple>& messages) {
        for (const py::tuple& m : messages) pending_.append(m);
        py::list batch = pending_;
        pending_ = py::list();
        const auto answered = static_cast<int64_t>(messages.size());
        std::vector<py::list> out(messages.size());
        for (const py::handle h : call_("batch", batch, answered).cast<py::list>()) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != messages.size()) fail("shard message: answers of other messages");
            for (size_t j = 0; j < messages.size(); ++j) out[j].append(parts[j]);
        }
        return out;
    }
    template <class... Args>
    void post(const char* method, Args&&... args) {
        pending_.append(message(method, std::forward<Args>(args)...));
        ++posts_;
    }
    template <class... Args>
    static py::tuple message(const char* method, Args&&... args) {
        return py::make_tuple(method, py::make_tuple(std::forward<Args>(args)...));
    }
    // Messages posted so far: an answer fetched ahead holds while none was posted after it.
    int64_t posts() const { return posts_; }

private:
    py::function call_;
    py::list pending_;
    int64_t posts_ = 0;
};

// A statistics request that the builder expects to make (ShardSource::expect): it travels
// with the next request sent, and its merged answer waits here for the builder's ask, as long
// as no message that changes the shards (routing, a new tree) went out in between.
struct AheadStats {
    std::optional<StatsRequest> expected;  // to send with the next request
    std::optional<StatsRequest> fetched;   // sent: `merged` holds its answer
    int64_t posts = 0;                     // the caller's posts when it was sent
    std::vector<int64_t> merged;
};

// Whether two requests ask for the same statistics. Only requests without items (sums and
// bin histograms) are expected, and these fields say all of theirs.
bool same_request(const StatsRequest& a, const StatsRequest& b) {
    return a.kind == b.kind && (a.kind == kOutputSums || a.kind == kBinHistograms) &&
           a.nodes == b.nodes && a.node_ids == b.node_ids && a.first_output == b.first_output &&
           a.second_output == b.second_output;
}

// The shards' statistics for one request, merged into out.
void merge_answers(const py::list& answers, std::vector<int64_t>& out) {
    bool first = true;
    std::vector<int64_t> part;
    for (const py::handle h : answers) {
        unpack_answer(h, part);
        if (first) {
            out.swap(part);
            first = false;
        } else {
            merge_stats(out, part);
        }
    }
}

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

std::vector<uint64_t> merged_counts(const py::list& answers, const SelectRound& round) {
    std::vector<uint64_t> merged = empty_counts(round);
    for (const py::handle h : answers) {
        const std::vector<uint64_t> part = unpacked_counts(h);
        if (part.size() != merged.size()) fail("shard message: count buffer of the wrong size");
        merge_counts(merged.data(), part.data(), merged.size());
    }
    return merged;
}

// The validation shards' raw scores put in their rows' global order: every row of 0 ..
// n_val - 1 exactly once.
std::vector<double> gathered_scores(const py::list& answers, int64_t n_val) {
    std::vector<double> out;
    std::vector<uint8_t> seen(static_cast<size_t>(n_val), 0);
    int64_t k = 0;
    for (const py::handle h : answers) {
        const auto t = h.cast<py::tuple>();
        const std::vector<int64_t> rows = from_numpy<int64_t>(t[0]);
        const std::vector<double> scores = from_numpy<double>(t[1]);
        const int64_t outputs = rows.empty() ? k : static_cast<int64_t>(scores.size() / rows.size());
        if (k == 0 && outputs > 0) {
            k = outputs;
            out.assign(static_cast<size_t>(n_val * k), 0.0);
        }
        if (static_cast<int64_t>(scores.size()) != static_cast<int64_t>(rows.size()) * k) {
            fail("shard message: scores of the wrong size");
        }
        for (size_t i = 0; i < rows.size(); ++i) {
            const int64_t r = rows[i];
            if (r < 0 || r >= n_val || seen[r]) fail("shard message: a validation row twice");
            seen[r] = 1;
            std::copy_n(scores.data() + static_cast<int64_t>(i) * k, k, out.data() + r * k);
        }
    }
    if (std::count(seen.begin(), seen.end(), uint8_t{1}) != n_val) {
        fail("shard message: validation rows missing");
    }
    return out;
}

// Answers that hold one count buffer per round, merged round by round.
std::vector<std::vector<uint64_t>> merged_count_lists(const py::list& answers,
                                                      const std::vector<SelectRound>& rounds) {
    std::vector<std::vector<uint64_t>> merged;
    for (const SelectRound& round : rounds) merged.push_back(empty_counts(round));
    for (const py::handle h : answers) {
        const auto parts = h.cast<py::list>();
        if (parts.size() != merged.size()) fail("shard message: counts for other selections");
        for (size_t j = 0; j < merged.size(); ++j) {
            const std::vector<uint64_t> part = unpacked_counts(parts[j]);
            if (part.size() != merged[j].size()) fail("shard message: counts of wrong size");
            merge_counts(merged[j].data(), part.data(), part.size());
        }
    }
    return merged;
}

RemoteRows remote_rows(ShardCaller& shards, ShardCaller& val, int32_t n_features, bool weighted,
                       int64_t n_val) {
    RemoteRows rows;
    rows.watch.n_val = n_val;
    rows.n_features = n_features;
    rows.weighted = weighted;
    // The targets' range does not change: it travels with the columns' facts, the first
    // message, and waits for its turn.
    auto range_ahead = std::make_shared<std::optional<TargetRange>>();
    rows.column_facts = [&shards, n_features, range_ahead] {
        py::gil_scoped_acquire held;
        std::vector<ShardedCuts> merged(static_cast<size_t>(n_features));
        for (ShardedCuts& facts : merged) facts.lowest_key = UINT64_MAX;
        const std::vector<py::list> answers = shards.several(
            {ShardCaller::message("column_facts"), ShardCaller::message("target_range")});
        TargetRange range;
        for (const py::handle h : answers[1]) range.merge(decode_range(h));
        *range_ahead = range;
        for (const py::handle h : answers[0]) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != merged.size()) fail("shard message: facts of other columns");
            for (size_t f = 0; f < merged.size(); ++f) {
                merge_facts(merged[f], decode_facts(parts[f]));
            }
        }
        return merged;
    };
    rows.distinct = [&shards](const RemoteRows::Columns& columns) {
        py::gil_scoped_acquire held;
        std::vector<DistinctValues> merged(columns.size());
        for (const py::handle h : shards.all("distinct", to_numpy(columns))) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != merged.size()) fail("shard message: values of other columns");
            for (size_t j = 0; j < merged.size(); ++j) {
                merged[j] =
                    merge_distinct(merged[j], DistinctValues{from_numpy<uint64_t>(parts[j])});
            }
        }
        return merged;
    };
    rows.count_columns = [&shards](const std::vector<int32_t>& columns,
                                   const std::vector<SelectRound>& rounds) {
        py::gil_scoped_acquire held;
        py::list encoded;
        for (const SelectRound& round : rounds) encoded.append(encode(round));
        return merged_count_lists(shards.all("count_columns", to_numpy(columns), encoded),
                                  rounds);
    };
    rows.extremes = [&shards](const std::vector<std::vector<double>>& edges) {
        py::gil_scoped_acquire held;
        std::vector<BinExtremes> merged(edges.size());
        py::list encoded;
        for (size_t f = 0; f < edges.size(); ++f) {
            merged[f].low.assign(edges[f].size() + 1, UINT64_MAX);
            merged[f].high.assign(edges[f].size() + 1, 0);
            encoded.append(to_numpy(edges[f]));
        }
        for (const py::handle h : shards.all("extremes", encoded)) {
            const auto parts = h.cast<py::list>();
            if (parts.size() != merged.size()) fail("shard message: extremes of other columns");
            for (size_t f = 0; f < merged.size(); ++f) {
                const auto t = parts[f].cast<py::tuple>();
                const BinExtremes part{from_numpy<uint64_t>(t[0]), from_numpy<uint64_t>(t[1])};
                if (part.low.size() != merged[f].low.size() ||
                    part.high.size() != merged[f].low.size()) {
                    fail("shard message: bin extremes of the wrong size");
                }
                merge_extremes(merged[f], part);
            }
        }
        return merged;
    };
    rows.set_bins = [&shards](const BinnedMatrix& tables) {
        py::gil_scoped_acquire held;
        shards.post("set_bins", encode(tables));
    };
    rows.column_bounds = [&shards, n_features] {
        py::gil_scoped_acquire held;
        std::vector<double> merged(static_cast<size_t>(n_features), 0.0);
        for (const py::handle h : shards.all("column_bounds")) {
            const std::vector<double> part = from_numpy<double>(h);
            if (part.size() != merged.size()) fail("shard message: bounds of other columns");
            for (size_t f = 0; f < part.size(); ++f) {
                if (!(part[f] >= 0.0 && part[f] < kInf))
                    fail("shard message: a bound out of range");
                merged[f] = std::max(merged[f], part[f]);
            }
        }
        return merged;
    };
    rows.target_range = [&shards, range_ahead] {
        if (range_ahead->has_value()) return **range_ahead;
        py::gil_scoped_acquire held;
        TargetRange merged;
        for (const py::handle h : shards.all("target_range")) merged.merge(decode_range(h));
        return merged;
    };
    rows.start_bounds = [&shards](const TargetRange& range) {
        py::gil_scoped_acquire held;
        std::vector<double> merged;
        for (const py::handle h : shards.all("start_bounds", encode(range))) {
            const auto part = h.cast<std::vector<double>>();
            if (merged.empty()) merged.assign(part.size(), 0.0);
            if (part.size() != merged.size()) fail("shard message: bounds of the wrong size");
            for (size_t f = 0; f < part.size(); ++f) merged[f] = std::max(merged[f], part[f]);
        }
        return merged;
    };
    rows.start_sums = [&shards](const TargetRange& range, const std::vector<double>& bounds) {
        py::gil_scoped_acquire held;
        std::vector<ExactSum> merged;
        for (const double bound : bounds) merged.emplace_back(bound);
        for (const py::handle h : shards.all("start_sums", encode(range), bounds)) {
            const auto part = h.cast<py::list>();
            if (part.size() != merged.size()) fail("shard message: sums of the wrong size");
            for (size_t f = 0; f < merged.size(); ++f) merged[f].add_steps(decode_steps(part[f]));
        }
        return merged;
    };
    rows.count_targets = [&shards](const SelectRound& round) {
        py::gil_scoped_acquire held;
        return merged_counts(shards.all("count_targets", encode(round)), round);
    };
    rows.start = [&shards](const Model& model) {
        py::gil_scoped_acquire held;
        shards.post("start", model.n_outputs, model.base_score, model.base_scores);
    };
    rows.source.begin_tree = [&shards](uint64_t bag_key, double subsample) {
        py::gil_scoped_acquire held;
        RoundSummary merged;
        for (const py::handle h : shards.all("begin_tree", bag_key, subsample)) {
            merged.merge(decode_summary(h));
        }
        return merged;
    };
    rows.source.fix_gradients = [&shards](const RoundGrids& grids) {
        py::gil_scoped_acquire held;
        shards.post("fix_gradients", grids.grad.exponent, grids.hess.exponent);
    };
    auto ahead = std::make_shared<AheadStats>();
    rows.source.expect = [ahead](const StatsRequest& request) {
        ahead->expected = request;
        ahead->fetched.reset();
    };
    rows.source.stats = [&shards, ahead](const StatsRequest& request, std::vector<int64_t>& out) {
        py::gil_scoped_acquire held;
        if (ahead->fetched && ahead->posts == shards.posts() &&
            same_request(*ahead->fetched, request)) {
            out.swap(ahead->merged);
            ahead->fetched.reset();
            return;
        }
        ahead->fetched.reset();
        if (!ahead->expected || same_request(*ahead->expected, request)) {
            ahead->expected.reset();
            merge_answers(shards.all("stats", encode(request)), out);
            return;
        }
        StatsRequest next = std::move(*ahead->expected);
        ahead->expected.reset();
        const std::vector<py::list> answers =
            shards.several({ShardCaller::message("stats", encode(request)),
                            ShardCaller::message("stats", encode(next))});
        merge_answers(answers[0], out);
        merge_answers(answers[1], ahead->merged);
        ahead->fetched = std::move(next);
        ahead->posts = shards.posts();
    };
    rows.source.route = [&shards](const std::vector<RouteRule>& rules,
                                  const std::vector<int32_t>& rule_of) {
        py::gil_scoped_acquire held;
        shards.post("route", encode(rules), to_numpy(rule_of));
    };
    rows.count_abs_residuals = [&shards](const SelectRound& round) {
        py::gil_scoped_acquire held;
        return merged_counts(shards.all("count_abs_residuals", encode(round)), round);
    };
    rows.set_huber_delta = [&shards](double delta) {
        py::gil_scoped_acquire held;
        shards.post("set_huber_delta", delta);
    };
    rows.count_leaf_residuals = [&shards](const std::vector<int32_t>& nodes,
                                          const std::vector<SelectRound>& rounds) {
        py::gil_scoped_acquire held;
        py::list encoded;
        for (const SelectRound& round : rounds) encoded.append(encode(round));
        return merged_count_lists(shards.all("count_leaf_residuals", to_numpy(nodes), encoded),
                                  rounds);
    };
    rows.val_start = [&val](const Model& model) {
        py::gil_scoped_acquire held;
        val.post("start", model.n_outputs, model.base_score, model.base_scores);
    };
    rows.val_add_tree = [&val](const Tree& tree, const Directions& directions) {
        py::gil_scoped_acquire held;
        val.post("add_tree", encode(tree), py::none(), encode(directions));
    };
    rows.val_loss_bound = [&val] {
        py::gil_scoped_acquire held;
        double bound = 0.0;
        for (const py::handle h : val.all("loss_bound")) bound = std::max(bound, h.cast<double>());
        return bound;
    };
    rows.val_loss_sum = [&val](double bound) {
        py::gil_scoped_acquire held;
        ExactSum sum(bound);
        for (const py::handle h : val.all("loss_sum", bound)) sum.add_steps(decode_steps(h));
        return sum;
    };
    rows.add_tree = [&shards](const Tree& tree, const std::vector<int32_t>& leaf_of,
                              const Directions& directions) {
        py::gil_scoped_acquire held;
        shards.post("add_tree", encode(tree), to_numpy(leaf_of), encode(directions));
    };
    rows.val_scores = [&val, n_val] {
        py::gil_scoped_acquire held;
        return gathered_scores(val.all("raw_scores"), n_val);
    };
    return rows;
}

// Blocks (X, y, w, first_row) held together in one shard; every block has the same columns
// and all or none has weights. Each block's X is read in place (converted once when it is not
// float64 and C-contiguous): the shard keeps the arrays alive and reaches their rows through
// one pointer per row, so a worker holds its rows once. The targets and weights are copied.
std::unique_ptr<RowShard> shard_of_blocks(const py::list& blocks, const Booster& settings) {
    if (blocks.empty()) fail("blocks must hold at least one block");
    // Every block is checked before anything is built.
    struct Block {
        F64Array X, y;
        OptionalF64Array w;
        int64_t first_row;
    };
    std::vector<Block> checked;
    int64_t total_rows = 0;
    int32_t n_features = -1;
    int weighted = -1;
    for (const py::handle h : blocks) {
        if (!py::isinstance<py::tuple>(h) || py::len(h) != 4) {
            fail("blocks: each block is (X, y, sample_weight, first_row)");
        }
        const auto block = h.cast<py::tuple>();
        const auto X = F64Array::ensure(block[0]);
        const auto y = F64Array::ensure(block[1]);
        OptionalF64Array w;
        if (!block[2].is_none()) w = F64Array::ensure(block[2]);
        if (!X || !y || (w && !*w)) {
            fail("blocks: X, y and sample_weight must be arrays of numbers");
        }
        const auto first_row = block[3].cast<int64_t>();
        const MatrixView view = as_matrix(X, "X");
        const int64_t n = vector_length(y, "y");
        if (n != view.n_rows) fail("y must have one entry per row");
        if (n_features >= 0 && view.n_cols != n_features) fail("blocks of unequal widths");
        if (weighted >= 0 && weighted != static_cast<int>(w.has_value())) {
            fail("blocks: all or none of them have weights");
        }
        if (w && vector_length(*w, "sample_weight") != n) fail("sample_weight: one per row");
        if (first_row < 0) fail("blocks: first_row must be >= 0");
        n_features = view.n_cols;
        weighted = static_cast<int>(w.has_value());
        checked.push_back(Block{X, y, w, first_row});
        total_rows += n;
    }
    std::vector<double> targets, weights;
    targets.reserve(static_cast<size_t>(total_rows));
    if (weighted == 1) weights.reserve(static_cast<size_t>(total_rows));
    std::vector<RowBlock> held;
    for (const Block& b : checked) {
        const int64_t n = b.y.shape(0);
        targets.insert(targets.end(), b.y.data(), b.y.data() + n);
        if (b.w) weights.insert(weights.end(), b.w->data(), b.w->data() + n);
        held.push_back(RowBlock{held_values(b.X), n, b.first_row});
    }
    return std::make_unique<RowShard>(std::move(held), n_features, std::move(targets),
                                      std::move(weights), weighted == 1, settings.params);
}

}  // namespace

void register_shards(py::module_& m) {
    py::class_<RowShard>(m, "Shard",
                         "One worker's rows for training on shards: answers the coordinator's "
                         "messages (fit_shards) with summaries of its rows. X is read in place "
                         "(a float64 C-contiguous array is not copied): leave it unchanged.")
        .def(py::init([](const F64Array& X, const F64Array& y, const OptionalF64Array& w,
                         int64_t first_row, const Booster& settings) {
                 const MatrixView view = as_matrix(X, "X");
                 if (vector_length(y, "y") != view.n_rows) fail("y must have one entry per row");
                 return std::make_unique<RowShard>(
                     held_values(X), view.n_rows, view.n_cols,
                     std::vector<double>(y.data(), y.data() + view.n_rows),
                     copy_or_empty(w, "sample_weight"), w.has_value(), first_row, settings.params);
             }),
             py::arg("X"), py::arg("y"), py::arg("sample_weight"), py::arg("first_row"),
             py::arg("settings"))
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
                return std::move(answers);
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
