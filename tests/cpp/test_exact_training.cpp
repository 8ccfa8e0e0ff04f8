#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "booster_fixtures.hpp"
#include "boosting/train.hpp"
#include "boosting/exact_rounds.hpp"
#include "decide/output_pair.hpp"
#include "exact/level_builder.hpp"
#include "exact_fixtures.hpp"
#include "io/model_bytes.hpp"
#include "model/routing.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// The shard split that training takes from g_exact_shard_plan: `shards` shards of unequal
// sizes (the second one empty from three shards on), rows dealt at random, each shard in
// its own random order.
int32_t g_shards = 1;
uint32_t g_plan_seed = 0;

ShardPlan test_plan(int32_t n_rows) {
    std::mt19937 gen(g_plan_seed);
    std::vector<int32_t> rows(static_cast<size_t>(n_rows));
    std::iota(rows.begin(), rows.end(), 0);
    std::shuffle(rows.begin(), rows.end(), gen);
    ShardPlan plan(static_cast<size_t>(g_shards));
    // Shard s takes a share proportional to s + 1, except the empty one.
    std::vector<double> weight(plan.size());
    for (size_t s = 0; s < plan.size(); ++s) weight[s] = (g_shards >= 3 && s == 1) ? 0.0 : s + 1.0;
    const double total = std::accumulate(weight.begin(), weight.end(), 0.0);
    size_t at = 0;
    double cumulative = 0.0;
    for (size_t s = 0; s < plan.size(); ++s) {
        cumulative += weight[s];
        const size_t end =
            s + 1 == plan.size() ? rows.size() : static_cast<size_t>(cumulative / total * n_rows);
        plan[s].assign(rows.begin() + at, rows.begin() + end);
        std::shuffle(plan[s].begin(), plan[s].end(), gen);
        at = end;
    }
    return plan;
}

struct PlanScope {
    explicit PlanScope(int32_t shards, uint32_t seed) {
        g_shards = shards;
        g_plan_seed = seed;
        g_exact_shard_plan = shards > 0 ? test_plan : nullptr;
    }
    ~PlanScope() { g_exact_shard_plan = nullptr; }
};

struct ThreadScope {
    explicit ThreadScope(int n) : before_(omp_get_max_threads()) { omp_set_num_threads(n); }
    ~ThreadScope() { omp_set_num_threads(before_); }
    int before_;
};

// A training problem: the awkward table and a target for the booster's objective.
struct Data {
    AwkwardTable table;
    std::vector<double> y, w;
    MatrixView view() const { return table.view(); }
};

// `cols` columns, the last one categorical codes.
Data make_data(int32_t rows, int32_t objective, uint32_t seed, int32_t cols = 5) {
    Data d;
    d.table = awkward_table(rows, cols, seed);
    std::mt19937 gen(seed + 1);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::uniform_real_distribution<double> u(0.2, 2.0);
    for (int32_t r = 0; r < rows; ++r) {
        const double* x = d.table.x.data() + static_cast<int64_t>(r) * cols;
        const double a = std::isfinite(x[0]) ? x[0] : 0.5;
        const double b = std::isfinite(x[1]) ? x[1] : -0.5;
        const double c = std::isnan(x[cols - 1]) ? 1.0 : x[cols - 1];
        const double score = a - 0.7 * b + 0.3 * c + noise(gen);
        if (objective == kBinary) d.y.push_back(score > 0.3 ? 1.0 : 0.0);
        if (objective == kRegression) d.y.push_back(score * 3.0);
        if (objective == kMulticlass) d.y.push_back(score < -0.5 ? 0.0 : (score < 0.8 ? 1.0 : 2.0));
        d.w.push_back(u(gen));
    }
    return d;
}

// One exact training setting and how it trains.
struct Setting {
    std::string name;
    int32_t objective = kBinary;
    std::function<void(Booster&)> adjust = [](Booster&) {};
    bool weights = false;
    bool early_stopping = false;
    bool more = false;  // fit, then fit_more
    int32_t cols = 5;   // columns of the table
};

Booster exact_booster(const Setting& s) {
    Booster b(8, 0.3, 4, 16, 1.0, 10, 1.0, 1.0, 42, s.objective, 0, 0.7, 0, {}, {}, 0, 1);
    b.params.exact_sums = true;
    s.adjust(b);
    return b;
}

std::string train_bytes(const Setting& s, const Data& d, const Data& val) {
    Booster b = exact_booster(s);
    const VectorArg y{d.y.data(), static_cast<int64_t>(d.y.size())};
    const VectorArg w =
        s.weights ? VectorArg{d.w.data(), static_cast<int64_t>(d.w.size())} : VectorArg{};
    if (s.early_stopping) {
        b.params.n_estimators = 40;
        fit(b, d.view(), y, w, val.view(),
            VectorArg{val.y.data(), static_cast<int64_t>(val.y.size())}, 3, 1e-3);
    } else {
        fit(b, d.view(), y, w, MatrixView{}, VectorArg{}, 0, 0.0);
    }
    if (s.more) fit_more(b, d.view(), y, 4, w);
    int32_t pairs = 0;
    for (const Tree& tree : b.model.trees) {
        for (const Node& n : tree) pairs += n.kind == kLinearPair || n.kind == kCategoryPair;
    }
    return serialize_model(b.model) + "|" + std::to_string(b.n_trees()) + "|" +
           (pairs > 0 ? "pairs" : "no pairs");
}

// Settings of the lineage builder (projection trees), one or two ancestor directions.
std::vector<Setting> lineage_settings() {
    auto lineage = [](
                       int32_t n, std::function<void(Booster&)> more = [](Booster&) {}) {
        return [n, more](Booster& b) {
            b.params.max_lineage = n;
            more(b);
        };
    };
    std::vector<Setting> out;
    out.push_back({"lineage binary", kBinary, lineage(1)});
    out.push_back({"lineage squared", kRegression, lineage(2)});
    out.push_back(
        {"lineage huber", kRegression, lineage(1, [](Booster& b) { b.params.loss = kHuber; })});
    out.push_back({"lineage quantile", kRegression,
                   lineage(2, [](Booster& b) { b.params.loss = kQuantile; })});
    out.push_back({"lineage sampled", kBinary, lineage(1, [](Booster& b) {
                       b.params.subsample = 0.6;
                       b.params.colsample = 0.5;
                       b.params.learn_missing = true;
                   })});
    Setting weighted{"lineage weighted monotone", kRegression, lineage(2, [](Booster& b) {
                         b.params.monotone = {1, -1, 0, 0, 0};
                         b.params.best_of_kinds = true;
                     })};
    weighted.weights = true;
    out.push_back(weighted);
    Setting stopping{"lineage early stopping", kRegression, lineage(1)};
    stopping.early_stopping = true;
    out.push_back(stopping);
    Setting more{"lineage fit_more", kBinary, lineage(2)};
    more.more = true;
    out.push_back(more);
    return out;
}

std::vector<Setting> settings() {
    std::vector<Setting> out;
    out.push_back({"binary"});
    out.push_back({"squared", kRegression});
    out.push_back({"huber", kRegression, [](Booster& b) { b.params.loss = kHuber; }});
    out.push_back({"quantile", kRegression, [](Booster& b) { b.params.loss = kQuantile; }});
    out.push_back({"multiclass", kMulticlass});
    out.push_back({"sampled", kBinary, [](Booster& b) {
                       b.params.subsample = 0.6;
                       b.params.colsample = 0.5;
                   }});
    Setting weighted{"weighted", kRegression};
    weighted.weights = true;
    out.push_back(weighted);
    Setting weighted_classes{"weighted multiclass", kMulticlass};
    weighted_classes.weights = true;
    out.push_back(weighted_classes);
    out.push_back(
        {"monotone", kRegression, [](Booster& b) { b.params.monotone = {1, -1, 0, 0, 0}; }});
    out.push_back({"categorical", kBinary, [](Booster& b) {
                       b.params.categorical = {0, 0, 0, 0, 1};
                       b.params.learn_missing = true;
                   }});
    Setting stopping{"early stopping", kRegression};
    stopping.early_stopping = true;
    out.push_back(stopping);
    Setting more{"fit_more", kMulticlass, [](Booster& b) { b.params.subsample = 0.7; }};
    more.more = true;
    out.push_back(more);
    for (Setting& s : lineage_settings()) out.push_back(s);
    return out;
}

}  // namespace

// The settings again with the oblique searches, capped (with and without ranked pair
// columns and best_of_kinds) and full.
std::vector<Setting> oblique_settings() {
    std::vector<Setting> out;
    int32_t i = 0;
    for (Setting s : settings()) {
        if (s.name.starts_with("lineage")) continue;  // projection trees read no split_mode
        const int32_t mode = i % 2 == 0 ? kCappedOblique : kFullOblique;
        const int32_t variant = i++ % 4;
        const auto adjust = s.adjust;
        s.adjust = [=](Booster& b) {
            adjust(b);
            b.params.split_mode = static_cast<SplitMode>(mode);
            if (variant == 0) b.params.max_pair_columns = 2;
            if (variant == 2) b.params.best_of_kinds = true;
        };
        s.name += mode == kCappedOblique ? " (oblique)" : " (oblique, full)";
        out.push_back(s);
    }
    // Twelve columns, every one paired: more pairs than the capped search keeps, so that it
    // screens them on the first two levels (the last column categorical in one of them).
    const auto every_pair = [](Booster& b) { b.params.split_mode = kCappedOblique; };
    Setting screened{"screened binary (oblique)", kBinary, every_pair};
    screened.cols = 12;
    out.push_back(screened);
    Setting categorical{"screened categorical multiclass (oblique)", kMulticlass, [](Booster& b) {
                            b.params.split_mode = kCappedOblique;
                            b.params.categorical.assign(12, 0);
                            b.params.categorical.back() = 1;
                            b.params.subsample = 0.8;
                        }};
    categorical.cols = 12;
    categorical.weights = true;
    out.push_back(categorical);
    return out;
}

TEST(ExactTraining, ShardingAndRowOrderLeaveTheModelBytesUnchanged) {
    std::vector<Setting> all = settings();
    for (const Setting& s : oblique_settings()) all.push_back(s);
    for (const Setting& s : all) {
        const Data d = make_data(700, s.objective, 3, s.cols);
        const Data val = make_data(150, s.objective, 4, s.cols);
        std::string one;
        {
            PlanScope plan(0, 0);
            one = train_bytes(s, d, val);
        }
        const bool oblique = s.name.find("oblique") != std::string::npos;
        EXPECT_EQ(oblique, one.ends_with("|pairs")) << s.name;
        for (int32_t shards = 1; shards <= 4; ++shards) {
            PlanScope plan(shards, 10 + shards);
            EXPECT_TRUE(train_bytes(s, d, val) == one) << s.name << " with " << shards << " shards";
        }
    }
}

TEST(ExactTraining, ThreadCountLeavesTheModelBytesUnchanged) {
    // Enough rows for the passes over them to run in parallel.
    const auto capped = [](Booster& b) { b.params.split_mode = kCappedOblique; };
    Setting screened{"screened oblique regression", kRegression, capped};
    screened.cols = 12;  // more pairs than the capped search keeps: it screens them
    for (const Setting& s : {Setting{"binary"}, Setting{"multiclass", kMulticlass},
                             Setting{"oblique regression", kRegression, capped}, screened,
                             lineage_settings().front()}) {
        const Data d = make_data(45000, s.objective, 8, s.cols);
        std::string one, two;
        {
            ThreadScope threads(1);
            one = train_bytes(s, d, d);
        }
        {
            ThreadScope threads(2);
            two = train_bytes(s, d, d);
            PlanScope plan(3, 5);
            EXPECT_TRUE(train_bytes(s, d, d) == one) << s.name << ": 3 shards, 2 threads";
        }
        EXPECT_TRUE(two == one) << s.name;
    }
}

// The statistics of one node computed from its rows by the obvious loops: with several
// outputs the output sums first, then the histograms of the pair they pick.
struct NaiveNode {
    std::vector<int64_t> sums;   // count, then G_j, H_j per output
    std::vector<int64_t> block;  // a kBinHistograms block
};

NaiveNode naive_node(const std::vector<int32_t>& rows, const BinnedMatrix& bins, int32_t cols,
                     const std::vector<double>& grad, const std::vector<double>& hess, int32_t k,
                     const RoundGrids& grids, const HistogramShape& shape) {
    NaiveNode out;
    out.sums.assign(1 + 2 * static_cast<size_t>(k), 0);
    for (const int32_t r : rows) {
        out.sums[0] += 1;
        for (int32_t j = 0; j < k; ++j) {
            out.sums[1 + 2 * j] += grids.grad.fixed(grad[r * k + j]);
            out.sums[2 + 2 * j] += grids.hess.fixed(hess[r * k + j]);
        }
    }
    int32_t p = 0, q = 0;
    if (k > 1) {
        const OutputPair outputs = output_pair(out.sums.data() + 1, k, 2);
        p = outputs.p;
        q = outputs.q;
    }
    out.block.assign(static_cast<size_t>(shape.node_words()), 0);
    for (const int32_t r : rows) {
        int64_t g = grids.grad.fixed(grad[r * k + p]), h = grids.hess.fixed(hess[r * k + p]);
        if (k > 1) {
            g -= grids.grad.fixed(grad[r * k + q]);
            h += grids.hess.fixed(hess[r * k + q]);
        }
        out.block[0] += 1;
        out.block[1] += g;
        out.block[2] += h;
        for (int32_t f = 0; f < cols; ++f) {
            const int64_t cell = kNodeWords + 3 * (shape.bin_offset[f] + bins.code(r * cols + f));
            out.block[cell] += g;
            out.block[cell + 1] += h;
            out.block[cell + 2] += 1;
        }
    }
    return out;
}

// One tree grown on one shard of every row of X, in order; `requests` counts the shard's
// statistics requests and `kinds` lists their kinds.
ExactTree grow_one_shard(const MatrixView& X, const BinnedMatrix& bins,
                         const std::vector<double>& grad, const std::vector<double>& hess,
                         const TreeParams& settings, int32_t* requests = nullptr,
                         std::vector<int64_t>* kinds = nullptr) {
    const HistogramShape shape = HistogramShape::of(bins);
    std::vector<int32_t> rows(static_cast<size_t>(X.n_rows));
    std::iota(rows.begin(), rows.end(), 0);
    std::vector<LocalShard> shards(1);
    shards[0].rows = ShardRows{&bins, X, rows.data(), X.n_rows, nullptr};
    ExactTreeConfig c;
    c.tree = &settings;
    c.bins = &bins;
    LevelWorkspace ws;
    std::vector<ShardSource> sources{
        local_source(shards[0], grad.data(), hess.data(), settings.n_outputs, shape)};
    if (requests != nullptr) {
        auto stats = sources[0].stats;
        sources[0].stats = [=](const StatsRequest& r, std::vector<int64_t>& out) {
            ++*requests;
            if (kinds != nullptr) kinds->push_back(r.kind);
            stats(r, out);
        };
    }
    return grow_exact_tree(c, sources, ws);
}

TEST(ExactTraining, EveryNodeIsTheBestCutOfItsRowsAndLeavesTheirNewtonValues) {
    // Histograms by subtraction and routing must give what the node's own rows give.
    const AwkwardTable t = awkward_table(900, 5, 21);
    const MatrixView X = t.view();
    const BinnedMatrix bins = build_bins(X, 12, t.categorical());
    const HistogramShape shape = HistogramShape::of(bins);
    for (const int32_t k : {1, 3}) {
        std::vector<double> grad, hess;
        awkward_gradients(t.rows, k, 22, grad, hess);
        TreeParams settings;
        settings.max_depth = 5;
        settings.min_samples = 20;
        settings.reg_lambda = 0.5;
        settings.n_outputs = k;
        settings.split_mode = kAxisOnly;
        const ExactTree grown = grow_one_shard(X, bins, grad, hess, settings);
        const Tree& tree = grown.tree;
        ASSERT_GT(tree.size(), 7u);
        const CutSettings cut_settings{settings.reg_lambda, false, &bins, grown.grids};
        std::vector<int32_t> depth(tree.size(), 0);
        for (size_t at = 0; at < tree.size(); ++at) {
            if (tree[at].is_leaf) continue;
            depth[tree[at].left] = depth[at] + 1;
            depth[tree[at].right] = depth[at] + 1;
        }
        std::vector<int32_t> features(5), listed;
        std::iota(features.begin(), features.end(), 0);
        for (size_t at = 0; at < tree.size(); ++at) {
            // The node's rows, found by walking the finished tree from the root on their values.
            std::vector<int32_t> node_rows;
            for (int32_t r = 0; r < t.rows; ++r) {
                int32_t node = 0;
                while (node != static_cast<int32_t>(at) && !tree[node].is_leaf) {
                    node =
                        goes_right(tree[node], X.row(r), {}) ? tree[node].right : tree[node].left;
                    if (node > static_cast<int32_t>(at)) break;
                }
                if (node == static_cast<int32_t>(at)) node_rows.push_back(r);
            }
            const NaiveNode naive =
                naive_node(node_rows, bins, 5, grad, hess, k, grown.grids, shape);
            const std::vector<int64_t>& block = naive.block;
            EXPECT_EQ(grown.covers[at], static_cast<double>(block[0]));
            const NodeTotals totals{block[0], block[1], block[2]};
            if (k == 1) {
                EXPECT_EQ(tree[at].value,
                          exact_node_value(totals, grown.grids, settings.reg_lambda, -kInf, kInf));
            }
            const ExactCut best =
                best_exact_cut(block.data(), shape, features, totals, cut_settings, listed);
            if (tree[at].is_leaf) {
                EXPECT_TRUE(block[0] < settings.min_samples || depth[at] >= settings.max_depth ||
                            !(best.gain > kMinGain))
                    << "k " << k << " node " << at;
                for (int32_t j = 0; j < k && k > 1; ++j) {
                    const double g = grown.grids.grad.value(naive.sums[1 + 2 * j]);
                    const double h = grown.grids.hess.value(naive.sums[2 + 2 * j]);
                    EXPECT_EQ(tree[at].leaf_values.at(j), -g / (settings.reg_lambda + h));
                }
                continue;
            }
            EXPECT_EQ(tree[at].feature_a, best.feature) << "k " << k << " node " << at;
            EXPECT_EQ(tree[at].threshold, best.threshold) << "k " << k << " node " << at;
            EXPECT_EQ(tree[at].gain, best.gain) << "k " << k << " node " << at;
            EXPECT_EQ(grown.covers[at], grown.covers[tree[at].left] + grown.covers[tree[at].right]);
        }
    }
}

// Every builder trains with exact_sums; what no mode trains (projection trees for several
// outputs) is refused before anything changes.
TEST(ExactTraining, RefusesSettingsItDoesNotSupportBeforeChangingAnything) {
    const Data d = make_data(200, kMulticlass, 1);
    Booster b(5, 0.3, 3, 16, 1.0, 10, 1.0, 1.0, 42, kMulticlass, 0, 0.7, 0, {}, {}, 1, 0);
    b.params.exact_sums = true;
    EXPECT_THROW(fit(b, d.view(), VectorArg{d.y.data(), 200}, VectorArg{}, MatrixView{},
                     VectorArg{}, 0, 0.0),
                 std::invalid_argument);
    EXPECT_EQ(b.n_trees(), 0);
}

TEST(ExactTraining, ObliqueNodesHoldTheRowsTheirTestsSendThere) {
    // Every node's cover is the count of rows that prediction walks to it, so the projected
    // histograms part the rows as the pair tests do; leaves take their rows' Newton values.
    const AwkwardTable t = awkward_table(1200, 5, 31);
    const MatrixView X = t.view();
    const BinnedMatrix bins = build_bins(X, 16, t.categorical());
    for (const int32_t k : {1, 3}) {
        for (const bool learn_missing : {false, true}) {
            std::vector<double> grad, hess;
            awkward_gradients(t.rows, k, 32, grad, hess);
            // A signal along a direction of two columns, which pairs find.
            for (int32_t r = 0; r < t.rows; ++r) {
                const double a = X.row(r)[0], b = X.row(r)[1];
                if (std::isfinite(a) && std::isfinite(b)) grad[r * k] += a + b > 0.5 ? 0.6 : -0.6;
            }
            TreeParams settings;
            settings.max_depth = 4;
            settings.min_samples = 20;
            settings.n_outputs = k;
            settings.split_mode = kCappedOblique;
            settings.learn_missing = learn_missing;
            settings.categorical = t.categorical();
            settings.hist_bins = 32;
            int32_t requests = 0;
            const ExactTree grown = grow_one_shard(X, bins, grad, hess, settings, &requests);
            const Tree& tree = grown.tree;
            // Per level that may split: bin histograms, pair moments, projected histograms
            // (and the output sums of several outputs); one more for the root's sums.
            EXPECT_EQ(tree_depth(tree), settings.max_depth);
            EXPECT_LE(requests, (k == 1 ? 3 : 4) * settings.max_depth + 1) << "k " << k;
            int32_t pairs = 0;
            std::vector<double> reached(tree.size(), 0.0), g(tree.size(), 0.0), h(tree.size(), 0.0);
            for (int32_t r = 0; r < t.rows; ++r) {
                int32_t at = 0;
                while (true) {
                    reached[at] += 1.0;
                    g[at] += grown.grids.grad.value(grown.grids.grad.fixed(grad[r * k]));
                    h[at] += grown.grids.hess.value(grown.grids.hess.fixed(hess[r * k]));
                    if (tree[at].is_leaf) break;
                    at = goes_right(tree[at], X.row(r), {}) ? tree[at].right : tree[at].left;
                }
            }
            for (size_t at = 0; at < tree.size(); ++at) {
                EXPECT_EQ(grown.covers[at], reached[at]) << "k " << k << " node " << at;
                if (tree[at].kind == kLinearPair || tree[at].kind == kCategoryPair) ++pairs;
                if (k == 1 && tree[at].is_leaf) {
                    EXPECT_NEAR(tree[at].value, -g[at] / (h[at] + settings.reg_lambda), 1e-9);
                }
            }
            EXPECT_GT(pairs, 0) << "k " << k;
        }
    }
}

TEST(ExactTraining, TheCappedSearchScreensItsPairsInTheMomentRequestWhereTheDefaultDoes) {
    // Twelve columns make 66 pairs, more than the 48 candidates the capped search keeps: it
    // screens them on levels 0 and 1, or on every level when its columns are ranked (11 of
    // them: 55 pairs, 44 kept); 4 ranked columns make 6 pairs, and the full search keeps all.
    const AwkwardTable t = awkward_table(1500, 12, 41);
    const MatrixView X = t.view();
    const BinnedMatrix bins = build_bins(X, 16, t.categorical());
    std::vector<double> grad, hess;
    awkward_gradients(t.rows, 1, 42, grad, hess);
    for (const SplitMode mode : {kCappedOblique, kFullOblique}) {
        for (const int32_t pair_columns : {0, 4, 11}) {
            TreeParams settings;
            settings.max_depth = 4;
            settings.min_samples = 20;
            settings.split_mode = mode;
            settings.max_pair_columns = pair_columns;
            settings.categorical = t.categorical();
            settings.hist_bins = 32;
            int32_t requests = 0;
            std::vector<int64_t> kinds;
            grow_one_shard(X, bins, grad, hess, settings, &requests, &kinds);
            EXPECT_LE(requests, 3 * settings.max_depth + 1);
            std::vector<int64_t> moments, want;
            for (const int64_t kind : kinds) {
                if (pair_kind(kind)) moments.push_back(kind);
            }
            for (int32_t level = 0; level < settings.max_depth; ++level) {
                const bool screens = mode == kCappedOblique &&
                                     (pair_columns == 11 || (pair_columns == 0 && level <= 1));
                want.push_back(screens ? kScreenedPairMoments : kPairMoments);
            }
            EXPECT_EQ(moments, want) << "mode " << mode << ", max_pair_columns " << pair_columns;
        }
    }
}

TEST(ExactTraining, FitsAboutAsWellAsTheDefaultBuilder) {
    const Data d = make_data(3000, kBinary, 2);
    auto train_loss = [&](bool exact) {
        Booster b(30, 0.2, 4, 32, 1.0, 10, 1.0, 1.0, 42, kBinary, 0, 0.7, 0, {}, {}, 0, 1);
        b.params.exact_sums = exact;
        fit(b, d.view(), VectorArg{d.y.data(), 3000}, VectorArg{}, MatrixView{}, VectorArg{}, 0,
            0.0);
        std::vector<double> scores(3000);
        for (int32_t r = 0; r < 3000; ++r) {
            scores[r] = b.model.base_score;
            for (const Tree& tree : b.model.trees) {
                const Node& leaf = tree[find_leaf(tree, d.table.x.data() + r * 5, {})];
                scores[r] += b.model.learning_rate * leaf.value;
            }
        }
        return exact_validation_loss(kBinary, 1, d.y, scores.data());
    };
    const double exact = train_loss(true), plain = train_loss(false);
    EXPECT_LT(exact, 0.45);
    EXPECT_NEAR(exact, plain, 0.03);
}
