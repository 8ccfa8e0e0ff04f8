#include "boosting/row_shard.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numeric>
#include <stdexcept>

#include "boosting/exact_rounds.hpp"
#include "boosting/leaf_scores.hpp"
#include "boosting/objective.hpp"
#include "common/parallel.hpp"
#include "common/total_order.hpp"
#include "exact/lineage_stats.hpp"
#include "model/routing.hpp"
#include "prep/bin_lookup.hpp"
#include "prep/cut_rule.hpp"
#include "tree/pair_sums.hpp"

namespace vorlent {
namespace {

// Whether a node's test reads only columns the shard has: a projection test, one of the
// directions, each with a weight per column.
bool test_fits(const Node& n, int32_t n_cols, const Directions& directions) {
    if (n.projection >= 0) {
        return static_cast<size_t>(n.projection) < directions.size() &&
               directions[n.projection].size() == static_cast<size_t>(n_cols);
    }
    const bool a = n.feature_a >= 0 && n.feature_a < n_cols;
    if (n.kind == kAxis) return a;
    return (n.kind == kLinearPair || n.kind == kCategoryPair) && a && n.feature_b >= 0 &&
           n.feature_b < n_cols && n.projection < 0;
}

// Whether every projection and column pair of a request reads columns the shard has.
bool items_fit(const StatsRequest& request, int32_t n_cols) {
    auto in = [&](int32_t f) { return f >= 0 && f < n_cols; };
    for (const Projection& p : request.projections) {
        if (p.form == kTermsForm) {
            if (p.coefs.size() != p.features.size()) return false;
            for (const int32_t f : p.features) {
                if (!in(f)) return false;
            }
        } else if (p.form != kPairForm && p.form != kCategoryForm) {
            return false;
        } else if (!in(p.feature_a) || !in(p.feature_b)) {
            return false;
        }
    }
    for (const ColumnPair& pair : request.pairs) {
        if (!in(pair.a) || !in(pair.b) || pair.top >= kMaxPairCategories) return false;
    }
    return request.projection_bins >= 0 && request.projection_bins <= kMaxBins;
}

// The codes of every row under the tables' edges: the count of edges <= v, NaN last. Row by
// row, so that the rows are read once, in order.
template <class Code>
void encode(const RowView& X, const BinnedMatrix& tables, Code* codes) {
    for (int64_t r = 0; r < X.n_rows; ++r) {
        const double* row = X.row(r);
        Code* out = codes + r * X.n_cols;
        for (int32_t f = 0; f < X.n_cols; ++f) {
            const std::vector<double>& edges = tables.edges[f];
            const double v = row[f];
            const auto n_edges = static_cast<int32_t>(edges.size());
            out[f] = std::isnan(v) ? (tables.has_missing[f] ? static_cast<Code>(n_edges + 1)
                                                            : Code{0})
                                   : static_cast<Code>(bin_of(edges.data(), n_edges, v));
        }
    }
}

// Whether a round refines the last one counted: one digit deeper, under its prefixes, so
// that the keys the last round kept hold every key the round counts.
bool refines(const SelectRound& last, const SelectRound& next) {
    if (last.prefixes.empty() || next.depth != last.depth + kSelectDigitBits) return false;
    return std::all_of(next.prefixes.begin(), next.prefixes.end(), [&](uint64_t p) {
        return std::binary_search(last.prefixes.begin(), last.prefixes.end(),
                                  p >> kSelectDigitBits);
    });
}

// Values the shard owns as one block, held by the pointer to their first element: n_rows
// rows of n_features.
RowBlock owned_block(std::vector<double> values, int64_t n_rows, int32_t n_features,
                     int64_t first_row) {
    if (static_cast<int64_t>(values.size()) != n_rows * n_features) {
        throw std::invalid_argument("shard rows: X holds " + std::to_string(values.size()) +
                                    " values, expected rows * features");
    }
    auto held = std::make_shared<const std::vector<double>>(std::move(values));
    return RowBlock{std::shared_ptr<const double>(held, held->data()), n_rows, first_row};
}

}  // namespace

RowShard::RowShard(std::vector<double> y, std::vector<double> w, bool weighted,
                   BoosterParams params)
    : y_(std::move(y)), w_(std::move(w)), weighted_(weighted), params_(std::move(params)) {}

RowShard::RowShard(std::vector<double> X, int32_t n_features, std::vector<double> y,
                   std::vector<double> w, bool weighted, int64_t first_row, BoosterParams params)
    : RowShard(std::move(y), std::move(w), weighted, std::move(params)) {
    hold({owned_block(std::move(X), n_rows(), n_features, first_row)}, n_features, nullptr);
}

RowShard::RowShard(std::vector<double> X, int32_t n_features, std::vector<double> y,
                   std::vector<double> w, bool weighted, std::vector<int64_t> global_rows,
                   BoosterParams params)
    : RowShard(std::move(y), std::move(w), weighted, std::move(params)) {
    hold({owned_block(std::move(X), n_rows(), n_features, 0)}, n_features, &global_rows);
}

RowShard::RowShard(std::shared_ptr<const double> X, int64_t n_rows, int32_t n_features,
                   std::vector<double> y, std::vector<double> w, bool weighted,
                   int64_t first_row, BoosterParams params)
    : RowShard(std::move(y), std::move(w), weighted, std::move(params)) {
    hold({RowBlock{std::move(X), n_rows, first_row}}, n_features, nullptr);
}

RowShard::RowShard(std::vector<RowBlock> blocks, int32_t n_features, std::vector<double> y,
                   std::vector<double> w, bool weighted, BoosterParams params)
    : RowShard(std::move(y), std::move(w), weighted, std::move(params)) {
    hold(std::move(blocks), n_features, nullptr);
}

void RowShard::hold(std::vector<RowBlock> blocks, int32_t n_features,
                    const std::vector<int64_t>* global_rows) {
    const int64_t n = n_rows();
    int64_t n_of_X = 0;
    int32_t filled = 0;  // blocks with rows
    for (const RowBlock& b : blocks) {
        if (b.n_rows < 0 || (b.values == nullptr && b.n_rows > 0) || n_features < 0) {
            throw std::invalid_argument("shard rows: a block without its values or rows");
        }
        if (global_rows == nullptr && (b.first_row < 0 || b.first_row > INT64_MAX - b.n_rows)) {
            throw std::invalid_argument("shard rows: first_row " + std::to_string(b.first_row) +
                                        " is negative or leaves the rows' indices past 2^63");
        }
        n_of_X += b.n_rows;
        filled += b.n_rows > 0 ? 1 : 0;
    }
    if (n_of_X != n) {
        throw std::invalid_argument("shard rows: X has " + std::to_string(n_of_X) +
                                    " rows but y has " + std::to_string(n));
    }
    if (weighted_ ? static_cast<int64_t>(w_.size()) != n : !w_.empty()) {
        throw std::invalid_argument("shard rows: one weight per row expected");
    }
    if (global_rows != nullptr) {
        global_ = *global_rows;
    } else {
        global_.clear();
        global_.reserve(static_cast<size_t>(n));
        for (const RowBlock& b : blocks) {
            for (int64_t i = 0; i < b.n_rows; ++i) global_.push_back(b.first_row + i);
        }
    }
    if (static_cast<int64_t>(global_.size()) != n) {
        throw std::invalid_argument("shard rows: one global row index per row expected");
    }
    // A row's global index keys its bag membership: two rows may not share one.
    std::vector<int64_t> sorted = global_;
    std::sort(sorted.begin(), sorted.end());
    if (!sorted.empty() && (sorted.front() < 0 ||
                            std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())) {
        throw std::invalid_argument("shard rows: global row indices must be distinct and >= 0");
    }
    // Rows of one block are read as one matrix; rows of several through a pointer per row.
    n_features_ = n_features;
    if (filled > 1) row_at_.reserve(static_cast<size_t>(n));
    for (const RowBlock& b : blocks) {
        if (b.n_rows == 0) continue;
        if (filled == 1) data_ = b.values.get();
        for (int64_t i = 0; i < b.n_rows && filled > 1; ++i) {
            row_at_.push_back(b.values.get() + i * n_features);
        }
        owners_.push_back(b.values);
    }
    rows_.resize(static_cast<size_t>(n));
    std::iota(rows_.begin(), rows_.end(), 0);
}

RowView RowShard::values() const {
    if (!row_at_.empty()) return RowView::of_rows(row_at_.data(), n_rows(), n_features_);
    return MatrixView{data_, static_cast<int32_t>(n_rows()), n_features_};
}

void RowShard::check_column(int32_t f) const {
    if (f < 0 || f >= n_features_) {
        throw std::invalid_argument("shard: column " + std::to_string(f) + " does not exist");
    }
}

std::vector<double> RowShard::column(int32_t f) const {
    const RowView X = values();
    check_column(f);
    std::vector<double> out(static_cast<size_t>(n_rows()));
    for (int64_t r = 0; r < n_rows(); ++r) out[r] = X.at(r, f);
    return out;
}

ShardRows RowShard::shard_rows() const {
    return ShardRows{&bins_, values(), rows_.data(), n_rows(), global_.data()};
}

// Every column's facts in one pass over the rows, as column_facts gives them column by column.
std::vector<ShardedCuts> RowShard::column_facts() const {
    const RowView X = values();
    std::vector<ShardedCuts> out(static_cast<size_t>(n_features_));
    for (ShardedCuts& facts : out) facts.lowest_key = UINT64_MAX;
    for (int64_t r = 0; r < n_rows(); ++r) {
        const double* row = X.row(r);
        for (int32_t f = 0; f < n_features_; ++f) {
            ShardedCuts& facts = out[f];
            if (std::isnan(row[f])) {
                facts.has_missing = true;
                continue;
            }
            const uint64_t key = sort_key(row[f]);
            ++facts.n_values;
            facts.lowest_key = std::min(facts.lowest_key, key);
            facts.highest_key = std::max(facts.highest_key, key);
        }
    }
    return out;
}

DistinctValues RowShard::distinct(int32_t f) const {
    const std::vector<double> column = this->column(f);
    return distinct_values(ColumnShard{column.data(), n_rows()});
}

std::vector<std::vector<uint64_t>> RowShard::count_columns(
    const std::vector<int32_t>& columns, const std::vector<SelectRound>& rounds) const {
    if (columns.size() != rounds.size()) {
        throw std::invalid_argument("shard counts: one selection round per column expected");
    }
    for (const int32_t f : columns) check_column(f);
    selecting_.resize(static_cast<size_t>(n_features_));
    std::vector<uint8_t> asked(selecting_.size(), 0);
    for (const int32_t f : columns) asked[f] = 1;
    // A column no longer asked about has finished: its buffers go to the columns starting.
    std::vector<SelectKeys> spare;
    for (size_t f = 0; f < selecting_.size(); ++f) {
        if (asked[f]) continue;
        if (!selecting_[f].last.prefixes.empty()) spare.push_back(std::move(selecting_[f].keys));
        selecting_[f] = ColumnKeys{};
    }
    // The columns that start again take their keys in one pass over the rows.
    std::vector<int32_t> fresh;
    for (size_t j = 0; j < columns.size(); ++j) {
        ColumnKeys& c = selecting_[columns[j]];
        if (refines(c.last, rounds[j])) continue;
        if (c.last.prefixes.empty() && !spare.empty()) {
            c.keys = std::move(spare.back());
            spare.pop_back();
        }
        c.keys.clear();
        c.last = SelectRound{};
        if (std::find(fresh.begin(), fresh.end(), columns[j]) == fresh.end()) {
            fresh.push_back(columns[j]);
        }
    }
    take_keys(fresh);
    std::vector<std::vector<uint64_t>> out(columns.size());
    for (size_t j = 0; j < columns.size(); ++j) out[j].resize(rounds[j].buffer_size());
    const auto count = [&](size_t j) {
        ColumnKeys& c = selecting_[columns[j]];
        if (!refines(c.last, rounds[j]) && c.keys.narrowed()) {
            // The same column asked twice: the first ask narrowed its keys.
            c.keys.clear();
            take_keys({columns[j]});
        }
        c.keys.count(rounds[j], out[j].data());
        c.last = rounds[j];
    };
    std::vector<int32_t> sorted = columns;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        for (size_t j = 0; j < columns.size(); ++j) count(j);
        return out;
    }
    // Distinct columns count their own keys into their own buffers, on any thread.
    parallel_interleaved(std::ssize(columns), true, [&](int64_t first, int64_t step) {
        for (int64_t j = first; j < std::ssize(columns); j += step) count(static_cast<size_t>(j));
    });
    return out;
}

void RowShard::take_keys(const std::vector<int32_t>& columns) const {
    // Rows a block at a time, each column's values gathered from the block's rows, so that
    // a row's cache lines are read once for all the columns.
    constexpr int64_t kBlockRows = 2048;
    const RowView X = values();
    parallel_blocks(std::ssize(columns), true, [&](int64_t begin, int64_t end) {
        const auto width = static_cast<size_t>(end - begin);
        std::vector<double> block(width * kBlockRows);
        for (int64_t j = begin; j < end; ++j) selecting_[columns[j]].keys.reserve(n_rows());
        for (int64_t r0 = 0; r0 < n_rows(); r0 += kBlockRows) {
            const int64_t rows = std::min(kBlockRows, n_rows() - r0);
            for (int64_t i = 0; i < rows; ++i) {
                const double* row = X.row(r0 + i);
                for (size_t k = 0; k < width; ++k) {
                    block[k * kBlockRows + i] = row[columns[begin + k]];
                }
            }
            for (size_t k = 0; k < width; ++k) {
                selecting_[columns[begin + k]].keys.append(block.data() + k * kBlockRows, rows);
            }
        }
    });
}

// Every column's bin extremes in one pass over the rows, as bin_extremes gives them.
const std::vector<double>& RowShard::column_bounds() const {
    if (column_bounds_.size() != static_cast<size_t>(n_features_)) {
        column_bounds_ = vorlent::column_bounds(values());
    }
    return column_bounds_;
}

std::vector<BinExtremes> RowShard::extremes(const std::vector<std::vector<double>>& edges) const {
    const RowView X = values();
    if (static_cast<int32_t>(edges.size()) != n_features_) {
        throw std::invalid_argument("shard extremes: one list of edges per column expected");
    }
    std::vector<BinExtremes> out(edges.size());
    const int64_t width = n_features_;
    bool narrow = true;
    for (size_t f = 0; f < edges.size(); ++f) {
        out[f].low.assign(edges[f].size() + 1, UINT64_MAX);
        out[f].high.assign(edges[f].size() + 1, 0);
        narrow = narrow && edges[f].size() + 2 <= static_cast<size_t>(kMaxNarrowBins);
    }
    found_codes_.assign(narrow ? static_cast<size_t>(n_rows() * width) : 0, 0);
    found_missing_.assign(edges.size(), 0);
    std::vector<BinLookup> lookups;
    for (const std::vector<double>& e : edges) lookups.emplace_back(e, n_rows());
    for (int64_t r = 0; r < n_rows(); ++r) {
        const double* row = X.row(r);
        for (int32_t f = 0; f < width; ++f) {
            const double v = row[f];
            const std::vector<double>& e = edges[f];
            if (std::isnan(v)) {
                found_missing_[f] = 1;
                if (narrow) found_codes_[r * width + f] = static_cast<uint8_t>(e.size() + 1);
                continue;
            }
            const auto bin = static_cast<size_t>(lookups[f].bin(v));
            if (narrow) found_codes_[r * width + f] = static_cast<uint8_t>(bin);
            const uint64_t key = sort_key(v);
            out[f].low[bin] = std::min(out[f].low[bin], key);
            out[f].high[bin] = std::max(out[f].high[bin], key);
        }
    }
    found_edges_ = narrow ? edges : std::vector<std::vector<double>>{};
    return out;
}

void RowShard::set_bins(BinnedMatrix tables) {
    if (static_cast<int32_t>(tables.edges.size()) != n_features_) {
        throw std::invalid_argument("shard bins: one table per feature expected");
    }
    for (size_t f = 0; f < tables.edges.size(); ++f) {
        const size_t n_bins = tables.edges[f].size() + 1 + (tables.has_missing[f] ? 1 : 0);
        const size_t limit = tables.narrow ? kMaxNarrowBins : kMaxBins;
        if (tables.bin_low[f].size() != n_bins || tables.bin_high[f].size() != n_bins ||
            n_bins > limit || !std::is_sorted(tables.edges[f].begin(), tables.edges[f].end())) {
            throw std::invalid_argument("shard bins: feature " + std::to_string(f) +
                                        " has tables that do not fit together");
        }
    }
    bins_ = std::move(tables);
    std::vector<ColumnKeys>().swap(selecting_);
    bool found = bins_.narrow && found_edges_ == bins_.edges;
    for (size_t f = 0; found && f < found_missing_.size(); ++f) {
        found = !found_missing_[f] || bins_.has_missing[f];
    }
    const auto n_codes = static_cast<size_t>(n_rows() * n_features_);
    if (found) {
        bins_.narrow_codes.swap(found_codes_);
    } else if (bins_.narrow) {
        bins_.narrow_codes.assign(n_codes, 0);
        encode(values(), bins_, bins_.narrow_codes.data());
    } else {
        bins_.codes.assign(n_codes, 0);
        encode(values(), bins_, bins_.codes.data());
    }
    std::vector<uint8_t>().swap(found_codes_);
    found_edges_.clear();
    found_missing_.clear();
    shape_ = HistogramShape::of(bins_);
}

TargetRange RowShard::target_range() const { return vorlent::target_range(y_.data(), n_rows()); }

std::vector<double> RowShard::start_bounds(const TargetRange& range) const {
    return vorlent::start_bounds(params_, range, y_.data(), w_.data(), weighted_,
                                 n_rows());
}

std::vector<ExactSum> RowShard::start_sums(const TargetRange& range,
                                           const std::vector<double>& bounds) const {
    return vorlent::start_sums(params_, range, bounds, y_.data(), w_.data(), weighted_,
                               n_rows());
}

std::vector<uint64_t> RowShard::count_targets(const SelectRound& round) const {
    std::vector<uint64_t> keys(static_cast<size_t>(n_rows()));
    for (int64_t r = 0; r < n_rows(); ++r) keys[r] = sort_key(y_[r]);
    std::vector<uint64_t> out(round.buffer_size());
    count_keys(keys.data(), n_rows(), round, out.data());
    return out;
}

void RowShard::start(int32_t n_outputs, double base_score, const std::vector<double>& base_scores) {
    const bool multiclass = params_.objective == kMulticlass;
    if (n_outputs < 1 || (multiclass && static_cast<int32_t>(base_scores.size()) != n_outputs) ||
        (!multiclass && n_outputs != 1)) {
        throw std::invalid_argument("shard start: the outputs do not match the objective");
    }
    n_outputs_ = n_outputs;
    const int64_t k = n_outputs_;
    scores_.assign(static_cast<size_t>(n_rows() * k), 0.0);
    for (int64_t r = 0; r < n_rows(); ++r) {
        for (int64_t j = 0; j < k; ++j)
            scores_[r * k + j] = multiclass ? base_scores[j] : base_score;
    }
    grad_.assign(scores_.size(), 0.0);
    hess_.assign(scores_.size(), 0.0);
}

RoundSummary RowShard::begin_tree(uint64_t bag_key, double subsample) {
    check_ready();
    compute_gradients(params_, n_outputs_, w_, scores_.data(), y_.data(),
                      static_cast<int32_t>(n_rows()), grad_.data(), hess_.data(), residuals_,
                      &huber_delta_);
    summary_ = vorlent::begin_tree(shard_rows(), bag_key, subsample, grad_.data(), hess_.data(),
                                   n_outputs_, tree_);
    node_ids_ = 1;
    tree_.qg.clear();  // until fix_gradients puts this bag's gradients on the grids
    tree_.qh.clear();
    return summary_;
}

void RowShard::fix_gradients(const RoundGrids& grids) {
    check_ready();
    // The grids come from another process. Grids at least as coarse as this shard's own
    // summary asks for keep every term and every sum of its rows within int64; finer ones
    // would overflow the conversions.
    const RoundGrids own = RoundGrids::of(summary_, n_outputs_);
    if (grids.grad.exponent < own.grad.exponent || grids.hess.exponent < own.hess.exponent) {
        throw std::invalid_argument(
            "shard message: gradient grids finer than the shard's gradients allow");
    }
    vorlent::fix_gradients(shard_rows(), grad_.data(), hess_.data(), n_outputs_, grids, tree_);
    grids_ = grids;
}

// Messages come from another process: every index they hold is checked before it is used.
void RowShard::check_ready() const {
    if (shape_.bin_offset.empty() || scores_.empty() != (n_rows() == 0)) {
        throw std::invalid_argument("shard: the bins and the start come before the trees");
    }
}

void RowShard::check_nodes(const std::vector<int32_t>& nodes, const char* what) const {
    for (const int32_t id : nodes) {
        if (id < 0 || id >= node_ids_) {
            throw std::invalid_argument(std::string(what) + ": node " + std::to_string(id) +
                                        " is not one of the " + std::to_string(node_ids_) +
                                        " nodes of the tree");
        }
    }
}

void RowShard::stats(const StatsRequest& request, std::vector<int64_t>& out) {
    check_ready();
    const size_t n_nodes = request.nodes.size();
    if (tree_.qg.size() != tree_.bag.size() * static_cast<size_t>(n_outputs_)) {
        throw std::invalid_argument("shard stats: the gradients are fixed before the statistics");
    }
    check_nodes(request.nodes, "shard stats");
    if (request.node_ids < 0 || request.node_ids > node_ids_) {
        throw std::invalid_argument("shard stats: node_ids " + std::to_string(request.node_ids) +
                                    " beyond the " + std::to_string(node_ids_) +
                                    " node ids of the tree");
    }
    bool bad = false;
    if (item_kind(request.kind) && !items_fit(request, n_features_)) {
        throw std::invalid_argument("shard stats: a projection or pair outside the table");
    }
    if (request.kind == kLineageMoments &&
        (request.lineage == nullptr || n_outputs_ != 1 ||
         !lineage_candidates_fit(*request.lineage, n_nodes, n_features_, column_bounds(),
                                 grids_))) {
        throw std::invalid_argument(
            "shard stats: lineage candidates that do not fit the shard's columns, bounds or "
            "grids");
    }
    if ((request.kind == kBinHistograms || item_kind(request.kind)) && n_outputs_ > 1) {
        bad = bad || request.first_output.size() != n_nodes ||
              request.second_output.size() != n_nodes;
        for (size_t t = 0; t < n_nodes && !bad; ++t) {
            bad = request.first_output[t] < 0 || request.first_output[t] >= n_outputs_ ||
                  request.second_output[t] < 0 || request.second_output[t] >= n_outputs_;
        }
    }
    if (bad) throw std::invalid_argument("shard stats: a node or output outside the tree");
    out.resize(static_cast<size_t>(buffer_words(request, shape_, n_outputs_)));
    shard_stats(shard_rows(), tree_, request, shape_, n_outputs_, out);
}

void RowShard::route(const std::vector<RouteRule>& rules, const std::vector<int32_t>& rule_of) {
    check_ready();
    // Each rule gives its node's two children the next ids.
    const int64_t ids_after = node_ids_ + 2 * static_cast<int64_t>(rules.size());
    if (static_cast<int64_t>(rule_of.size()) > node_ids_ || ids_after > INT32_MAX) {
        throw std::invalid_argument("shard route: rules for more nodes than the tree has");
    }
    for (const int32_t at : rule_of) {
        if (at < -1 || at >= static_cast<int32_t>(rules.size())) {
            throw std::invalid_argument("shard route: a node's rule outside the rules");
        }
    }
    for (const RouteRule& rule : rules) {
        const int32_t f = rule.test.feature_a;
        // An axis rule reads its bins' sides; a pair rule (no sides) the values.
        const bool sides =
            rule.test.kind == kAxis
                ? f >= 0 && f < n_features_ && rule.bin_side.size() == bins_.bin_low[f].size()
                : rule.bin_side.empty();
        if (!test_fits(rule.test, n_features_, rule.projection) || !sides || rule.left < 0 ||
            rule.right < 0) {
            throw std::invalid_argument("shard route: a rule that does not fit the bins");
        }
        if (rule.left >= ids_after || rule.right >= ids_after) {
            throw std::invalid_argument("shard route: a child id beyond the ids of new nodes");
        }
    }
    route_rows(shard_rows(), tree_, rules, rule_of);
    node_ids_ = ids_after;
}

std::vector<uint64_t> RowShard::count_abs_residuals(const SelectRound& round) const {
    std::vector<uint64_t> keys(static_cast<size_t>(n_rows()));
    for (int64_t r = 0; r < n_rows(); ++r) keys[r] = sort_key(std::fabs(scores_[r] - y_[r]));
    std::vector<uint64_t> out(round.buffer_size());
    count_keys(keys.data(), n_rows(), round, out.data());
    return out;
}

std::vector<std::vector<uint64_t>> RowShard::count_leaf_residuals(
    const std::vector<int32_t>& nodes, const std::vector<SelectRound>& rounds) const {
    if (nodes.size() != rounds.size()) {
        throw std::invalid_argument("leaf residuals: one selection round per node expected");
    }
    check_nodes(nodes, "leaf residuals");
    // Every bag row's node id is below node_ids_, as the routes gave them out.
    return vorlent::count_leaf_residuals(tree_, y_.data(), scores_.data(), node_ids_, nodes,
                                         rounds);
}

double RowShard::loss_bound() const {
    if (scores_.empty()) return 0.0;
    return vorlent::loss_bound(params_.objective, n_outputs_, y_.data(), n_rows(), scores_.data());
}

ExactSum RowShard::loss_sum(double bound) const {
    if (scores_.empty()) return ExactSum(bound);
    return vorlent::loss_sum(params_.objective, n_outputs_, y_.data(), n_rows(), scores_.data(),
                             bound);
}

void RowShard::add_tree(const Tree& tree, const std::vector<int32_t>& leaf_of,
                        const Directions& directions) {
    const RowView X = values();
    if (scores_.size() != static_cast<size_t>(n_rows() * n_outputs_)) {
        throw std::invalid_argument("shard: the start comes before the trees");
    }
    for (const Node& node : tree) {
        if (!node.is_leaf && !test_fits(node, n_features_, directions)) {
            throw std::invalid_argument("shard tree: a test of a column the shard lacks");
        }
    }
    const auto size = static_cast<int32_t>(tree.size());
    for (const int32_t at : leaf_of) {
        if (at < -1 || at >= size) {
            throw std::invalid_argument("shard tree: a routed node outside the tree");
        }
    }
    // Bag rows take the leaf they were routed to, as in a fit in one process; the others
    // (and every row without leaf_of, or not routed to a leaf) walk the tree.
    std::vector<int32_t> routed;
    if (!leaf_of.empty()) {
        routed.assign(static_cast<size_t>(n_rows()), -1);
        for (size_t i = 0; i < tree_.bag.size(); ++i) {
            const auto id = static_cast<uint32_t>(tree_.node[i]);
            if (id >= leaf_of.size() || leaf_of[id] < 0 || !tree[leaf_of[id]].is_leaf) continue;
            routed[tree_.bag[i]] = leaf_of[id];
        }
    }
    add_tree_scores(params_.objective, params_.learning_rate, n_outputs_, tree, directions, X,
                    routed.empty() ? nullptr : routed.data(), scores_.data());
}

}  // namespace vorlent
