#include "exact/lineage_builder.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "common/numeric.hpp"
#include "decide/monotone.hpp"
#include "decide/ranking.hpp"
#include "exact/counter_random.hpp"
#include "exact/lineage_stats.hpp"
#include "exact/oblique_decision.hpp"
#include "exact/projection_stats.hpp"
#include "tree/grow_lineage.hpp"
#include "tree/lineage_direction.hpp"

namespace vorlent {
namespace {

// A candidate of a node: a column, or one of its lineage's directions.
struct Candidate {
    int32_t column = -1;
    const std::vector<double>* direction = nullptr;
};

// A node while the tree grows.
struct LineageNode {
    int32_t depth = 0;
    int32_t parent = -1;
    int32_t left = -1;
    int32_t right = -1;
    uint64_t key = 0;  // column-sample key: a function of the node's position
    NodeTotals totals;
    double lower = -kInf;
    double upper = kInf;
    int32_t rising = 0;  // how its split's direction meets the monotone constraints
    Directions lineage;  // the directions of the splits above it, most recent last
    std::vector<Candidate> candidates;
    int64_t request = -1;  // its place in the level's moments request
    Node node;
};

// The nonzero entries of a dense direction, in ascending column order.
void sparse_entries(const std::vector<double>& dense, std::vector<int32_t>& columns,
                    std::vector<double>& coefs) {
    columns.clear();
    coefs.clear();
    for (size_t f = 0; f < dense.size(); ++f) {
        if (dense[f] == 0.0) continue;
        columns.push_back(static_cast<int32_t>(f));
        coefs.push_back(dense[f]);
    }
}

class LineageGrower {
public:
    LineageGrower(const ExactTreeConfig& config, const std::vector<double>& column_bound,
                  Directions& projections, std::vector<ShardSource>& shards, LevelWorkspace& ws)
        : c_(config),
          t_(*config.tree),
          bound_(column_bound),
          projections_(projections),
          shards_(shards),
          ws_(ws),
          shape_(HistogramShape::of(*config.bins)) {}

    ExactTree grow() {
        grids_ = begin_exact_tree(c_, shards_);
        nodes_.assign(1, LineageNode{});
        nodes_[0].key = tree_key(kColumnStream, c_.seed, c_.tree_index);
        std::vector<int32_t> level{0};
        while (!level.empty()) {
            read_moments(level);
            settle(level);
            std::vector<int32_t> splitting;
            for (const int32_t id : level) {
                const LineageNode& x = nodes_[id];
                const auto m = static_cast<int32_t>(x.candidates.size());
                if (x.totals.count >= t_.min_samples && (m >= 2 || (t_.best_of_kinds && m >= 1)))
                    splitting.push_back(id);
            }
            if (splitting.empty()) break;
            propose(splitting);
            level = decide();
        }
        return depth_first_tree(nodes_, grids_);
    }

private:
    // Request 1 of a level: every node's totals and, for nodes that may split, the moments
    // of every pair of its candidates (its columns, then its lineage, oldest first).
    void read_moments(const std::vector<int32_t>& level) {
        auto cand = std::make_shared<LineageCandidates>();
        cand->grids = grids_;
        std::vector<int32_t> columns;
        std::vector<double> coefs;
        const int32_t n_features = shape_.n_features;
        for (const int32_t id : level) {
            cand->open_node();
            LineageNode& x = nodes_[id];
            x.candidates.clear();
            if (x.depth >= t_.max_depth) continue;
            // The root offers every column, as the row-by-row builder does.
            sample_node_columns(x.key, n_features, x.depth == 0 ? 1.0 : t_.colsample, ws_.features,
                                ws_.draws);
            for (const int32_t f : ws_.features) {
                x.candidates.push_back(Candidate{f, nullptr});
                cand->add({f}, {1.0}, lineage_value_exponent(bound_[f]));
            }
            for (const std::vector<double>& d : x.lineage) {
                x.candidates.push_back(Candidate{-1, &d});
                sparse_entries(d, columns, coefs);
                double bound = 0.0;
                for (size_t e = 0; e < columns.size(); ++e)
                    bound += std::fabs(coefs[e]) * bound_[columns[e]];
                cand->add(columns, coefs, lineage_value_exponent(bound));
            }
            cand->slots = std::max(cand->slots, static_cast<int32_t>(x.candidates.size()));
        }
        StatsRequest request;
        request.kind = kLineageMoments;
        request.nodes = level;
        request.node_ids = static_cast<int32_t>(nodes_.size());
        request.lineage = cand;
        gather_stats(shards_, request, shape_, 1, ws_);
        moments_.assign(ws_.merged.begin() + kStatsHeader, ws_.merged.end());
        candidates_ = std::move(cand);
        const int64_t words = lineage_block_words(candidates_->slots);
        for (size_t t = 0; t < level.size(); ++t) {
            LineageNode& x = nodes_[level[t]];
            x.request = static_cast<int64_t>(t);
            const int64_t* block = moments_.data() + x.request * words;
            x.totals = NodeTotals{block[0], block[1], block[2]};
        }
    }

    // The level's bounds (a monotone split bounds its children at the mean of their
    // values, known now from their rows) and values.
    void settle(const std::vector<int32_t>& level) {
        for (const int32_t id : level) {
            LineageNode& x = nodes_[id];
            if (x.parent >= 0 && nodes_[x.parent].left == id && nodes_[x.parent].rising != 0) {
                const LineageNode& p = nodes_[x.parent];
                LineageNode& r = nodes_[p.right];
                const ChildBounds b = child_bounds(
                    p.rising, ValueBounds{p.lower, p.upper}, side_sums(x.totals, grids_),
                    side_sums(r.totals, grids_), t_.reg_lambda);
                x.lower = b.left.lower;
                x.upper = b.left.upper;
                r.lower = b.right.lower;
                r.upper = b.right.upper;
            }
        }
        for (const int32_t id : level) {
            LineageNode& x = nodes_[id];
            x.node.value = exact_node_value(x.totals, grids_, t_.reg_lambda, x.lower, x.upper);
        }
    }

    // Adds scale times candidate c's direction to y.
    static void add_scaled(const Candidate& c, double scale, std::vector<double>& y) {
        if (c.direction == nullptr) {
            y[c.column] += scale;
            return;
        }
        const std::vector<double>& d = *c.direction;
        for (size_t f = 0; f < d.size(); ++f) y[f] += scale * d[f];
    }

    // The unit direction of a pair (i == j: a candidate on its own) of node x, if it has
    // one that meets the monotone constraints, into the level's proposals.
    void propose_pair(int32_t id, int32_t i, int32_t j, double ca, double cb, double prescore) {
        const LineageNode& x = nodes_[id];
        y_.assign(static_cast<size_t>(shape_.n_features), 0.0);
        add_scaled(x.candidates[i], ca, y_);
        add_scaled(x.candidates[j], cb, y_);
        double norm_sq = 0.0;
        for (const double v : y_) norm_sq += v * v;
        const double norm = std::sqrt(norm_sq);
        const int32_t rising = monotone_sign(t_.monotone, y_);
        if (!(norm >= kTiny) || rising == kMixedSigns) return;
        for (double& v : y_) v /= norm;
        ObliqueCandidate c;
        c.projection.form = kTermsForm;
        sparse_entries(y_, c.projection.features, c.projection.coefs);
        c.prescore = prescore;
        node_list_.push_back(std::move(c));
    }

    // The directions of every splitting node: the ridge fit of each pair of candidates,
    // in pair order, then with best_of_kinds every candidate on its own. So that the
    // level's histograms stay within kLineageCellBytes, a node keeps at most its share of
    // them, those that explain most of its Newton step (in their order).
    void propose(const std::vector<int32_t>& splitting) {
        proposals_.clear();
        proposal_node_.clear();
        const int64_t item_bytes = 8 * kProjectedCellWords * (int64_t{t_.hist_bins} + 2);
        const auto share = static_cast<size_t>(std::max<int64_t>(
            1, kLineageCellBytes / (item_bytes * static_cast<int64_t>(splitting.size()))));
        const int32_t slots = candidates_->slots;
        std::vector<int32_t> active;
        for (const int32_t id : splitting) {
            const LineageNode& x = nodes_[id];
            const int64_t* block = moments_.data() + x.request * lineage_block_words(slots);
            const int32_t* exponent =
                candidates_->exponent.data() + candidates_->node_start[x.request];
            active_candidates(x, block, exponent, active);
            const auto m = static_cast<int32_t>(active.size());
            node_list_.clear();
            for (int32_t i = 0; i < m; ++i) {
                for (int32_t j = i + 1; j < m; ++j) {
                    const int32_t a = active[i], b = active[j];
                    const PairSums s = lineage_pair_sums(block, lineage_pair_index(a, b, slots),
                                                         slots, grids_, exponent[a], exponent[b]);
                    double ca = 0.0, cb = 0.0;
                    if (!lineage_ridge(s, t_.reg_lambda, ca, cb)) continue;
                    propose_pair(id, a, b, ca, cb, lineage_ridge_fit(s, ca, cb));
                }
            }
            for (int32_t i = 0; t_.best_of_kinds && i < m; ++i) {
                const int32_t a = active[i];
                propose_pair(id, a, a, 1.0, 0.0,
                             lineage_single_score(block, a, grids_, exponent[a]));
            }
            keep_best_candidates(node_list_, share);
            for (ObliqueCandidate& c : node_list_) {
                proposals_.push_back(std::move(c.projection));
                proposal_node_.push_back(id);
            }
        }
    }

    // The candidates a node pairs, ascending: with max_pair_columns its that many columns
    // that explain its Newton step best on their own (then its lineage), else all.
    void active_candidates(const LineageNode& x, const int64_t* block, const int32_t* exponent,
                           std::vector<int32_t>& active) {
        const auto m = static_cast<int32_t>(x.candidates.size());
        const auto n_lineage = static_cast<int32_t>(x.lineage.size());
        const int32_t n_columns = m - n_lineage;
        active.resize(static_cast<size_t>(m));
        for (int32_t i = 0; i < m; ++i) active[i] = i;
        const int32_t keep = t_.max_pair_columns;
        if (!ranks_columns(keep, n_columns)) return;
        scores_.resize(static_cast<size_t>(n_columns));
        for (int32_t i = 0; i < n_columns; ++i) {
            scores_[i] = lineage_single_score(block, i, grids_, exponent[i]);
        }
        top_positions(scores_.data(), n_columns, keep, order_, active);
        for (int32_t e = 0; e < n_lineage; ++e) active.push_back(n_columns + e);
    }

    // A request of a projection kind for the level's proposals, node by node.
    StatsRequest projection_request(StatsKind kind) const {
        StatsRequest request;
        request.kind = kind;
        request.node_ids = static_cast<int32_t>(nodes_.size());
        request.projection_bins = t_.hist_bins;
        for (size_t p = 0; p < proposals_.size(); ++p) {
            if (request.nodes.empty() || request.nodes.back() != proposal_node_[p]) {
                request.nodes.push_back(proposal_node_[p]);
                request.item_begin.push_back(static_cast<int32_t>(p));
            }
        }
        request.item_begin.push_back(static_cast<int32_t>(proposals_.size()));
        request.projections = proposals_;
        return request;
    }

    // Requests 2 and 3: the range of every proposal's projections, then their histograms;
    // each node takes its best cut (ties to the earlier proposal), splits when it gains, and
    // the shards route their rows. Returns the next level.
    std::vector<int32_t> decide() {
        if (proposals_.empty()) return {};
        const int32_t bins = t_.hist_bins;
        gather_stats(shards_, projection_request(kProjectionRanges), shape_, 1, ws_);
        std::vector<uint8_t> use(proposals_.size(), 0);
        for (size_t p = 0; p < proposals_.size(); ++p) {
            const ProjectionRange range = read_range(
                projection_item(ws_.merged, kProjectionRanges, bins, static_cast<int64_t>(p)));
            use[p] = range.values > 0 && range.high - range.low >= kTiny;
            // A projection without spread is not scored; its cells just need a width.
            proposals_[p].lo = use[p] != 0 ? range.low : 0.0;
            proposals_[p].hi = use[p] != 0 ? range.high : 1.0;
        }
        gather_stats(shards_, projection_request(kProjectedHistograms), shape_, 1, ws_);
        // The best cut of each node.
        struct Best {
            int64_t proposal = -1;
            ObliqueCut cut;
        };
        std::vector<Best> best(nodes_.size());
        const CutSettings settings{t_.reg_lambda, t_.learn_missing, c_.bins, grids_};
        for (size_t p = 0; p < proposals_.size(); ++p) {
            if (use[p] == 0) continue;
            const int32_t id = proposal_node_[p];
            const ObliqueCut cut = best_projection_cut(
                projection_item(ws_.merged, kProjectedHistograms, bins, static_cast<int64_t>(p)),
                bins, nodes_[id].totals, settings);
            if (cut.gain > best[id].cut.gain) best[id] = Best{static_cast<int64_t>(p), cut};
        }
        std::vector<int32_t> next;
        std::vector<RouteRule> rules;
        std::vector<int32_t> rule_of(nodes_.size(), -1);
        for (size_t p = 0; p < proposals_.size(); ++p) {
            const int32_t id = proposal_node_[p];
            if (p > 0 && proposal_node_[p - 1] == id) continue;  // each node once
            const Best& b = best[id];
            if (b.proposal < 0 || !(b.cut.gain > kMinGain)) continue;
            commit(id, b.proposal, b.cut, rules, rule_of);
            next.push_back(nodes_[id].left);
            next.push_back(nodes_[id].right);
        }
        if (!rules.empty()) {
            for (ShardSource& s : shards_) s.route(rules, rule_of);
        }
        return next;
    }

    // Makes node id a projection node on proposal p's direction and cut, with two children.
    void commit(int32_t id, int64_t p, const ObliqueCut& cut, std::vector<RouteRule>& rules,
                std::vector<int32_t>& rule_of) {
        std::vector<double> direction(static_cast<size_t>(shape_.n_features), 0.0);
        const Projection& chosen = proposals_[p];
        for (size_t e = 0; e < chosen.features.size(); ++e)
            direction[chosen.features[e]] = chosen.coefs[e];
        const auto left = static_cast<int32_t>(nodes_.size());
        nodes_.resize(nodes_.size() + 2);
        LineageNode& x = nodes_[id];
        Node& n = x.node;
        n.is_leaf = false;
        n.gain = cut.gain;
        n.bias = -cut.threshold;
        n.missing_right = cut.missing_right;
        n.projection = static_cast<int32_t>(projections_.size());
        x.left = left;
        x.right = left + 1;
        x.rising = monotone_sign(t_.monotone, direction);
        Directions lineage = x.lineage;
        lineage.push_back(direction);
        const auto keep = static_cast<size_t>(t_.max_lineage);
        if (lineage.size() > keep) {
            lineage.erase(lineage.begin(),
                          lineage.begin() + static_cast<std::ptrdiff_t>(lineage.size() - keep));
        }
        for (int32_t side = 0; side < 2; ++side) {
            LineageNode& child = nodes_[left + side];
            child.depth = x.depth + 1;
            child.parent = id;
            child.key = child_key(x.key, side);
            child.lower = x.lower;
            child.upper = x.upper;
            child.lineage = lineage;
        }
        RouteRule rule;
        rule.node = id;
        rule.left = left;
        rule.right = left + 1;
        rule.test = n;
        rule.test.projection = 0;
        rule.projection.push_back(direction);
        rule_of[id] = static_cast<int32_t>(rules.size());
        rules.push_back(std::move(rule));
        projections_.push_back(std::move(direction));
    }

    const ExactTreeConfig& c_;
    const TreeParams& t_;  // c_.tree
    const std::vector<double>& bound_;
    Directions& projections_;
    std::vector<ShardSource>& shards_;
    LevelWorkspace& ws_;
    HistogramShape shape_;
    RoundGrids grids_;
    std::vector<LineageNode> nodes_;
    std::shared_ptr<const LineageCandidates> candidates_;  // of the current level
    std::vector<int64_t> moments_;                         // merged blocks of the level
    std::vector<Projection> proposals_;                    // the level's directions, node by node
    std::vector<int32_t> proposal_node_;
    std::vector<ObliqueCandidate> node_list_;  // one node's proposals
    std::vector<double> y_;
    std::vector<double> scores_;
    std::vector<int32_t> order_;
};

}  // namespace

ExactTree grow_exact_lineage_tree(const ExactTreeConfig& config,
                                  const std::vector<double>& column_bound, Directions& projections,
                                  std::vector<ShardSource>& shards, LevelWorkspace& ws) {
    return LineageGrower(config, column_bound, projections, shards, ws).grow();
}

}  // namespace vorlent
