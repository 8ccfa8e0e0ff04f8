#pragma once
// The messages that agree on the bin tables and on quantiles across shards: selection
// rounds, column facts, bin tables and the targets' range.
#include <pybind11/pybind11.h>

#include <vector>

#include "boosting/exact_start.hpp"
#include "prep/binning.hpp"
#include "prep/shard_bins.hpp"
#include "prep/shard_select.hpp"

namespace vorlent::binding {

namespace py = pybind11;

// SelectRound: (depth, prefixes).
py::tuple encode(const SelectRound& r);
SelectRound decode_round(const py::tuple& t);
std::vector<SelectRound> decode_rounds(const py::list& rounds);

// Column facts: (has_missing, n_values, lowest_key, highest_key).
py::tuple encode(const ShardedCuts& c);
ShardedCuts decode_facts(const py::handle& h);

// Bin tables: (edges, bin_low, bin_high, has_missing, narrow).
py::tuple encode(const BinnedMatrix& b);
BinnedMatrix decode_tables(const py::tuple& t);

// Target range: (n, low, high).
py::tuple encode(const TargetRange& r);
TargetRange decode_range(const py::handle& h);

}  // namespace vorlent::binding
