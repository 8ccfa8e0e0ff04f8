#include "module/bin_messages.hpp"

#include <pybind11/stl.h>

#include <string>

#include "module/shard_wire.hpp"

namespace vorlent::binding {

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

TargetRange decode_range(const py::handle& h) {
    const auto t = h.cast<py::tuple>();
    return TargetRange{t[0].cast<int64_t>(), t[1].cast<uint64_t>(), t[2].cast<uint64_t>()};
}
py::tuple encode(const TargetRange& r) { return py::make_tuple(r.n, r.low, r.high); }

}  // namespace vorlent::binding
