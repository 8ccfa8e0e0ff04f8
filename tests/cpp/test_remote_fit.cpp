#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "boosting/remote_fit.hpp"
#include "boosting/row_shard.hpp"
#include "boosting/train.hpp"
#include "common/numeric.hpp"
#include "exact/lineage_stats.hpp"
#include "exact_fixtures.hpp"
#include "io/model_bytes.hpp"
#include "remote_fixtures.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

int32_t projection_nodes(const Model& m) {
    int32_t n = 0;
    for (const Tree& tree : m.trees) {
        for (const Node& node : tree) n += !node.is_leaf && node.projection >= 0;
    }
    return n;
}

}  // namespace

TEST(RemoteFit, ShardsInBlocksMakeTheBytesOfTheLocalExactFit) {
    const std::vector<Case> cases = {
        {"binary", kBinary},
        {"squared", kRegression},
        {"huber", kRegression, false, [](Booster& b) { b.params.loss = kHuber; }},
        {"quantile", kRegression, true, [](Booster& b) { b.params.loss = kQuantile; }},
        {"sampled quantile", kRegression, false,
         [](Booster& b) {
             b.params.loss = kQuantile;
             b.params.alpha = 0.3;
             b.params.subsample = 0.7;
         }},
        {"multiclass", kMulticlass},
        {"weighted", kRegression, true},
        {"weighted multiclass", kMulticlass, true},
        {"sampled", kBinary, false,
         [](Booster& b) {
             b.params.subsample = 0.6;
             b.params.colsample = 0.5;
         }},
        {"monotone", kRegression, false, [](Booster& b) { b.params.monotone = {1, -1, 0, 0, 0}; }},
        {"wide bins", kBinary, false, [](Booster& b) { b.params.max_bins = 300; }},
        {"categorical", kBinary, false,
         [](Booster& b) {
             b.params.categorical = {0, 0, 0, 0, 1};
             b.params.learn_missing = true;
         }},
        // The oblique searches: pair moments, projected histograms and pair tests.
        {"oblique categorical", kBinary, false,
         [](Booster& b) {
             b.params.split_mode = kCappedOblique;
             b.params.categorical = {0, 0, 0, 0, 1};
             b.params.learn_missing = true;
         }},
        {"oblique multiclass", kMulticlass, true,
         [](Booster& b) {
             b.params.split_mode = kFullOblique;
             b.params.subsample = 0.8;
         }},
        {"oblique quantile", kRegression, false,
         [](Booster& b) {
             b.params.split_mode = kCappedOblique;
             b.params.max_pair_columns = 3;
             b.params.loss = kQuantile;
             b.params.monotone = {1, 0, 0, 0, 0};
         }},
        // Twelve columns, every one paired: the capped search screens its 66 pairs in the
        // moment requests of the first two levels.
        {"screened oblique", kRegression, true,
         [](Booster& b) {
             b.params.split_mode = kCappedOblique;
             b.params.categorical.assign(12, 0);
             b.params.categorical.back() = 1;
         },
         12},
    };
    for (const Case& c : cases) {
        const Problem p = problem(c.objective, 5, c.cols);
        Booster local = exact_booster(c.objective, c.adjust);
        const VectorArg w =
            c.weighted ? VectorArg{p.w.data(), static_cast<int64_t>(p.w.size())} : VectorArg{};
        fit(local, p.table.view(), VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())}, w,
            MatrixView{}, VectorArg{}, 0, 0.0);
        const std::string expected = serialize_model(local.model);
        if (local.params.split_mode != kAxisOnly) {
            int32_t pairs = 0;
            for (const Tree& tree : local.model.trees) {
                for (const Node& n : tree)
                    pairs += n.kind == kLinearPair || n.kind == kCategoryPair;
            }
            EXPECT_GT(pairs, 0) << c.name;
        }
        for (const std::vector<int32_t>& sizes :
             {std::vector<int32_t>{}, std::vector<int32_t>{100, 0, 333}, std::vector<int32_t>{1}}) {
            Booster remote = exact_booster(c.objective, c.adjust);
            std::vector<RowShard> shards = blocks(p, sizes, c.weighted, remote);
            RemoteRows rows = rows_of(shards, p.table.cols, c.weighted);
            fit_remote(remote, rows);
            EXPECT_TRUE(serialize_model(remote.model) == expected)
                << c.name << " in " << sizes.size() + 1 << " blocks";
        }
    }
}

TEST(RemoteFit, EarlyStoppingOnValidationShardsStopsAtTheLocalFitsRound) {
    // The histogram builder, then the lineage builder (two classes or regression only).
    for (const auto& [objective, lineage] :
         {std::pair{kRegression, 0}, std::pair{kMulticlass, 0}, std::pair{kRegression, 1}}) {
        const Problem p = problem(objective, 7);
        const Problem v = problem(objective, 8);
        const auto adjust = [max_lineage = lineage](Booster& b) {
            b.params.n_estimators = 60;
            b.params.learning_rate = 0.5;
            b.params.max_lineage = max_lineage;
        };
        Booster local = exact_booster(objective, adjust);
        fit(local, p.table.view(), VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())},
            VectorArg{}, v.table.view(), VectorArg{v.y.data(), static_cast<int64_t>(v.y.size())}, 3,
            1e-3);
        ASSERT_LT(local.n_trees(), 60) << "the setting must stop early";
        ASSERT_EQ(projection_nodes(local.model) > 0, lineage > 0);
        Booster remote = exact_booster(objective, adjust);
        std::vector<RowShard> shards = blocks(p, {250}, false, remote);
        std::vector<RowShard> val = blocks(v, {0, 111}, false, remote);
        RemoteRows rows = rows_of(shards, p.table.cols, false, &val);
        rows.watch.es_patience = 3;
        rows.watch.es_tol = 1e-3;
        fit_remote(remote, rows);
        EXPECT_TRUE(serialize_model(remote.model) == serialize_model(local.model)) << objective;
        EXPECT_EQ(remote.best_iteration, local.best_iteration);
        EXPECT_EQ(remote.validation_losses, local.validation_losses);
    }
}

namespace {

// The problem's rows dealt round-robin to n shards, each row keeping its global index.
std::vector<RowShard> dealt(const Problem& p, int32_t n, bool weighted, const Booster& settings) {
    const int32_t cols = p.table.cols;
    std::vector<RowShard> out;
    for (int32_t s = 0; s < n; ++s) {
        std::vector<double> x, y, w;
        std::vector<int64_t> global;
        for (int32_t r = s; r < p.table.rows; r += n) {
            x.insert(x.end(), p.table.x.begin() + int64_t{r} * cols,
                     p.table.x.begin() + int64_t{r + 1} * cols);
            y.push_back(p.y[r]);
            if (weighted) w.push_back(p.w[r]);
            global.push_back(r);
        }
        out.emplace_back(std::move(x), cols, std::move(y), std::move(w), weighted,
                         std::move(global), settings.params);
    }
    return out;
}

}  // namespace

TEST(RemoteFit, ShardsOfScatteredRowsMakeTheBytesOfTheLocalExactFit) {
    // Bags are keyed by the global row: rows dealt out of order must keep their keys.
    for (const int32_t objective : {kBinary, kMulticlass}) {
        const Problem p = problem(objective, 11);
        const auto adjust = [](Booster& b) { b.params.subsample = 0.6; };
        Booster local = exact_booster(objective, adjust);
        fit(local, p.table.view(), VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())},
            VectorArg{p.w.data(), static_cast<int64_t>(p.w.size())}, MatrixView{}, VectorArg{}, 0,
            0.0);
        Booster remote = exact_booster(objective, adjust);
        std::vector<RowShard> shards = dealt(p, 3, true, remote);
        RemoteRows rows = rows_of(shards, p.table.cols, true);
        fit_remote(remote, rows);
        EXPECT_TRUE(serialize_model(remote.model) == serialize_model(local.model)) << objective;
    }
    const Problem p = problem(kBinary, 12);
    Booster settings = exact_booster(kBinary, [](Booster&) {});
    std::vector<double> x(p.table.x.begin(), p.table.x.begin() + 2 * p.table.cols);
    EXPECT_THROW(RowShard(x, p.table.cols, {0.0, 1.0}, {}, false, std::vector<int64_t>{4, 4},
                          settings.params),
                 std::invalid_argument);
    EXPECT_THROW(RowShard(x, p.table.cols, {0.0, 1.0}, {}, false, std::vector<int64_t>{1},
                          settings.params),
                 std::invalid_argument);
}

TEST(RemoteFit, TheObserverSeesTheLocalFitsValidationScoresAndStopsIt) {
    for (const int32_t objective : {kRegression, kMulticlass}) {
        const Problem p = problem(objective, 13);
        const Problem v = problem(objective, 14);
        const auto adjust = [](Booster& b) { b.params.n_estimators = 8; };
        const int32_t stop_after = 4;
        std::vector<std::vector<double>> seen_local, seen_remote;
        const auto watcher = [&](std::vector<std::vector<double>>& seen) {
            return [&seen](const RoundScores& s) {
                EXPECT_EQ(s.round, static_cast<int32_t>(seen.size()));
                seen.emplace_back(s.val, s.val + int64_t{s.n_val} * s.n_outputs);
                return s.round == stop_after;
            };
        };
        Booster local = exact_booster(objective, adjust);
        fit(local, p.table.view(), VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())},
            VectorArg{}, v.table.view(), VectorArg{v.y.data(), static_cast<int64_t>(v.y.size())},
            100, -kInf, {}, watcher(seen_local));
        Booster remote = exact_booster(objective, adjust);
        std::vector<RowShard> shards = blocks(p, {250}, false, remote);
        std::vector<RowShard> val = dealt(v, 2, false, remote);
        RemoteRows rows = rows_of(shards, p.table.cols, false, &val);
        rows.watch.es_patience = 100;
        rows.watch.es_tol = -kInf;
        rows.watch.observer = watcher(seen_remote);
        rows.val_scores = [&val, &rows] {
            std::vector<double> out;
            for (const RowShard& s : val) {
                const int64_t k = s.n_outputs();
                out.resize(static_cast<size_t>(rows.watch.n_val * k));
                for (size_t i = 0; i < s.global_rows().size(); ++i) {
                    std::copy_n(s.scores().data() + static_cast<int64_t>(i) * k, k,
                                out.data() + s.global_rows()[i] * k);
                }
            }
            return out;
        };
        fit_remote(remote, rows);
        EXPECT_EQ(remote.n_trees(), stop_after + 1) << objective;
        EXPECT_TRUE(serialize_model(remote.model) == serialize_model(local.model)) << objective;
        EXPECT_EQ(seen_remote, seen_local) << objective;
    }
}

// A shard keeps the keys of the columns under selection and narrows them from round to
// round; whatever came before (other columns' rounds beside or between, a round repeated, a
// round under prefixes the last one did not ask for), its counts are those of all the
// column's keys.
TEST(RemoteFit, ColumnCountsEqualThoseOfAllTheKeysWhateverTheRoundsBefore) {
    const Problem p = problem(kBinary, 3);
    const Booster settings = exact_booster(kBinary, [](Booster&) {});
    const std::vector<RowShard> shards = blocks(p, {}, false, settings);
    const RowShard& shard = shards[0];
    auto all_keys_counts = [&](int32_t f, const SelectRound& round) {
        std::vector<uint64_t> keys;
        for (int32_t r = 0; r < p.table.rows; ++r) {
            const double v = p.table.x[int64_t{r} * p.table.cols + f];
            if (!std::isnan(v)) keys.push_back(sort_key(v));
        }
        std::vector<uint64_t> out(round.buffer_size());
        count_keys(keys.data(), static_cast<int64_t>(keys.size()), round, out.data());
        return out;
    };
    auto ask = [&](const std::vector<int32_t>& columns, const std::vector<SelectRound>& rounds) {
        const std::vector<std::vector<uint64_t>> counts = shard.count_columns(columns, rounds);
        for (size_t j = 0; j < columns.size(); ++j) {
            EXPECT_EQ(counts[j], all_keys_counts(columns[j], rounds[j]))
                << "column " << columns[j] << " depth " << rounds[j].depth;
        }
        return counts;
    };
    // Two columns' selections side by side, then one alone between asks of another column.
    RankSelection first({0, 10, 100}), second({3, 50, 400});
    while (!first.done()) {
        std::vector<int32_t> columns = {0};
        std::vector<SelectRound> rounds = {first.round()};
        if (!second.done()) {
            columns.push_back(1);
            rounds.push_back(second.round());
        }
        const auto counts = ask(columns, rounds);
        first.decide(counts[0]);
        if (counts.size() > 1) second.decide(counts[1]);
    }
    RankSelection third({1, 250, 500});
    std::vector<SelectRound> rounds;
    while (!third.done()) {
        rounds.push_back(third.round());
        third.decide(ask({2}, {rounds.back()})[0]);
        ask({3}, {SelectRound{0, {0}}});
    }
    ASSERT_GE(rounds.size(), 3u);
    ask({2}, {rounds[1]});
    ask({2}, {rounds[2]});  // refines the round before it
    ask({2}, {rounds[2]});  // repeats it
    ask({2, 2}, {SelectRound{rounds[1].depth + kSelectDigitBits, {~uint64_t{0} >> 48}}, rounds[0]});
}

// The lineage builder asks for lineage moments, projection ranges and histograms, routes by
// projection tests and hands the shards trees of them: on any blocks (one empty, unequal,
// up to four) the model is the local exact fit's, whose columns hold infinities (bounded by
// their finite values) and NaNs.
TEST(RemoteFit, LineageTreesOnShardsMakeTheBytesOfTheLocalExactFit) {
    const std::vector<Case> cases = {
        {"binary", kBinary},
        {"squared", kRegression, false, [](Booster& b) { b.params.learn_missing = true; }},
        {"weighted quantile", kRegression, true, [](Booster& b) { b.params.loss = kQuantile; }},
        {"sampled", kBinary, true,
         [](Booster& b) {
             b.params.subsample = 0.7;
             b.params.colsample = 0.6;
             b.params.max_pair_columns = 3;
         }},
        {"monotone best of kinds", kRegression, false,
         [](Booster& b) {
             b.params.monotone = {1, 0, 0, 0, 0};
             b.params.best_of_kinds = true;
         }},
    };
    for (const int32_t lineage : {1, 2}) {
        for (const Case& c : cases) {
            const auto adjust = [&](Booster& b) {
                c.adjust(b);
                b.params.max_lineage = lineage;
                b.params.n_estimators = 5;
            };
            const Problem p = problem(c.objective, 21);
            Booster local = exact_booster(c.objective, adjust);
            const VectorArg w =
                c.weighted ? VectorArg{p.w.data(), static_cast<int64_t>(p.w.size())} : VectorArg{};
            fit(local, p.table.view(), VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())}, w,
                MatrixView{}, VectorArg{}, 0, 0.0);
            const std::string expected = serialize_model(local.model);
            ASSERT_GT(projection_nodes(local.model), 0) << c.name;
            for (const std::vector<int32_t>& sizes :
                 {std::vector<int32_t>{}, std::vector<int32_t>{100, 0, 333},
                  std::vector<int32_t>{1}}) {
                Booster remote = exact_booster(c.objective, adjust);
                std::vector<RowShard> shards = blocks(p, sizes, c.weighted, remote);
                RemoteRows rows = rows_of(shards, p.table.cols, c.weighted);
                fit_remote(remote, rows);
                EXPECT_TRUE(serialize_model(remote.model) == expected)
                    << c.name << " lineage " << lineage << " in " << sizes.size() + 1 << " blocks";
            }
        }
    }
}

// Messages come from another process: a shard refuses a lineage request, projection rule or
// tree that reads outside its columns, directions or grids, or whose scales its own values
// would overflow, before it changes anything; the fit then goes on as if nothing happened.
TEST(RemoteFit, ShardsRefuseLineageMessagesThatDoNotFit) {
    const Problem p = problem(kBinary, 25);
    const auto adjust = [](Booster& b) {
        b.params.max_lineage = 1;
        b.params.n_estimators = 2;
    };
    Booster local = exact_booster(kBinary, adjust);
    fit(local, p.table.view(), VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())}, VectorArg{},
        MatrixView{}, VectorArg{}, 0, 0.0);
    Booster remote = exact_booster(kBinary, adjust);
    std::vector<RowShard> shards = blocks(p, {200}, false, remote);
    RemoteRows rows = rows_of(shards, p.table.cols, false);
    RowShard& shard = shards[0];
    const int32_t cols = p.table.cols;
    int32_t requests = 0, rules = 0, trees = 0;
    const auto refused = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const std::invalid_argument&) {
            return true;
        }
        return false;
    };
    const ShardSource honest = rows.source;
    rows.source.stats = [&](const StatsRequest& request, std::vector<int64_t>& out) {
        if (request.kind == kLineageMoments && request.lineage->exponent.size() >= 2) {
            ++requests;
            const LineageCandidates& good = *request.lineage;
            std::vector<int64_t> scratch;
            const auto with = [&](const std::function<void(LineageCandidates&)>& spoil) {
                auto bad = std::make_shared<LineageCandidates>(good);
                spoil(*bad);
                StatsRequest r = request;
                r.lineage = bad;
                return refused([&] { shard.stats(r, scratch); });
            };
            EXPECT_FALSE(with([](LineageCandidates&) {}));
            EXPECT_TRUE(with([&](LineageCandidates& c) { c.column[0] = cols; }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.column[0] = -1; }));
            // One power of two below what the shard's own values need.
            EXPECT_TRUE(with([&](LineageCandidates& c) {
                double bound = 0.0;
                for (int64_t e = c.entry_start[0]; e < c.entry_start[1]; ++e)
                    bound += std::fabs(c.coef[e]) * shard.column_bounds()[c.column[e]];
                c.exponent[0] = lineage_value_exponent(bound) - 1;
            }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.exponent[1] = 1025; }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.node_start.pop_back(); }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.node_start.back() += 1; }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.entry_start.back() += 1; }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.coef.pop_back(); }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.slots = 1; }));
            EXPECT_TRUE(with([](LineageCandidates& c) {
                c.slots = static_cast<int32_t>(c.exponent.size()) + 1;
            }));
            EXPECT_TRUE(with([](LineageCandidates& c) { c.grids.hess.exponent += 1; }));
            EXPECT_TRUE(with([](LineageCandidates& c) {
                // A candidate whose columns repeat or run backwards.
                c.add({1, 1}, {1.0, 1.0}, 1024);
                c.slots += 1;
            }));
            StatsRequest none = request;
            none.lineage = nullptr;
            EXPECT_TRUE(refused([&] { shard.stats(none, scratch); }));
        }
        honest.stats(request, out);
    };
    rows.source.route = [&](const std::vector<RouteRule>& given,
                            const std::vector<int32_t>& rule_of) {
        for (const RouteRule& rule : given) {
            if (rule.test.projection < 0) continue;
            ++rules;
            for (const int32_t spoil : {0, 1, 2}) {
                std::vector<RouteRule> bad = given;
                RouteRule& r = bad[&rule - given.data()];
                if (spoil == 0) r.projection[0].pop_back();
                if (spoil == 1) r.projection.clear();
                if (spoil == 2) r.test.projection = 1;
                EXPECT_TRUE(refused([&] { shard.route(bad, rule_of); })) << spoil;
            }
        }
        honest.route(given, rule_of);
    };
    const auto add_tree = rows.add_tree;
    rows.add_tree = [&](const Tree& tree, const std::vector<int32_t>& leaf_of,
                        const Directions& directions) {
        if (!directions.empty()) {
            ++trees;
            Directions narrow = directions;
            narrow.back().pop_back();
            EXPECT_TRUE(refused([&] { shard.add_tree(tree, leaf_of, narrow); }));
            EXPECT_TRUE(refused([&] { shard.add_tree(tree, leaf_of, {}); }));
            Directions fewer(directions.begin(), directions.end() - 1);
            EXPECT_TRUE(refused([&] { shard.add_tree(tree, leaf_of, fewer); }));
        }
        add_tree(tree, leaf_of, directions);
    };
    fit_remote(remote, rows);
    EXPECT_GT(requests, 0);
    EXPECT_GT(rules, 0);
    EXPECT_GT(trees, 0);
    EXPECT_TRUE(serialize_model(remote.model) == serialize_model(local.model));

    // Column bounds that are not finite are refused by the coordinator.
    Booster again = exact_booster(kBinary, adjust);
    std::vector<RowShard> more = blocks(p, {}, false, again);
    RemoteRows bad_bounds = rows_of(more, cols, false);
    bad_bounds.column_bounds = [cols] { return std::vector<double>(cols, kInf); };
    EXPECT_THROW(fit_remote(again, bad_bounds), std::invalid_argument);
    bad_bounds.column_bounds = [cols] { return std::vector<double>(cols - 1, 1.0); };
    EXPECT_THROW(fit_remote(again, bad_bounds), std::invalid_argument);
}

// A shard's column bounds are the largest finite magnitudes of its columns (0 for none),
// whatever infinities and NaNs it holds.
TEST(RemoteFit, ColumnBoundsAreTheLargestFiniteMagnitudes) {
    const double inf = kInf, nan = std::nan("");
    Booster settings = exact_booster(kRegression, [](Booster&) {});
    const RowShard shard({-3.0, inf, nan, 0.0, 2.0, -inf, nan, nan, -0.5, 1e300, nan, -0.0}, 4,
                         {0.0, 1.0, 2.0}, {}, false, 0, settings.params);
    EXPECT_EQ(shard.column_bounds(), (std::vector<double>{3.0, 1e300, 0.0, 0.0}));
    const RowShard empty(std::vector<double>{}, 4, {}, {}, false, 0, settings.params);
    EXPECT_EQ(empty.column_bounds(), std::vector<double>(4, 0.0));
}

TEST(RemoteFit, TheRootsHistogramsAreExpectedAsTheBuilderThenAsksForThem) {
    // A source in another process fetches an expected request with the one before it: the
    // expectation is worth a round trip only when it is the builder's next request.
    for (const int32_t objective : {kBinary, kRegression, kMulticlass}) {
        const Problem p = problem(objective, 21);
        Booster remote = exact_booster(objective, [](Booster&) {});
        std::vector<RowShard> shards = blocks(p, {200}, false, remote);
        RemoteRows rows = rows_of(shards, p.table.cols, false);
        std::vector<StatsRequest> expected, asked;
        rows.source.expect = [&](const StatsRequest& r) { expected.push_back(r); };
        const auto stats = rows.source.stats;
        rows.source.stats = [&](const StatsRequest& r, std::vector<int64_t>& out) {
            asked.push_back(r);
            stats(r, out);
        };
        fit_remote(remote, rows);
        if (objective == kMulticlass) {
            EXPECT_TRUE(expected.empty());  // the sums pick the pair of outputs first
            continue;
        }
        ASSERT_EQ(expected.size(), static_cast<size_t>(remote.n_trees()));
        size_t tree = 0;
        for (size_t i = 0; i + 1 < asked.size(); ++i) {
            if (asked[i].kind != kOutputSums) continue;
            ASSERT_LT(tree, expected.size());
            const StatsRequest& next = asked[i + 1];
            const StatsRequest& e = expected[tree++];
            EXPECT_EQ(next.kind, e.kind);
            EXPECT_EQ(next.nodes, e.nodes);
            EXPECT_EQ(next.node_ids, e.node_ids);
            EXPECT_EQ(next.first_output, e.first_output);
            EXPECT_EQ(next.second_output, e.second_output);
        }
        EXPECT_EQ(tree, expected.size());
    }
}

// Whatever ends the rounds (early stopping, the observer, the stop poll or an exception from
// either), a fit on shards ends where the in-memory exact fit does: the same calls in the
// same order, the same trees kept, best round and validation losses.
TEST(RemoteFit, RoundsEndAsTheLocalFitsDoWhateverEndsThem) {
    const Problem p = problem(kRegression, 21);
    const Problem v = problem(kRegression, 22);
    const auto adjust = [](Booster& b) {
        b.params.n_estimators = 40;
        b.params.learning_rate = 0.5;
    };
    // -1: nothing stops the rounds but early stopping; else the poll or the observer throws
    // after that round.
    for (const int32_t at : {-1, 0, 3}) {
        for (const bool from_observer : {false, true}) {
            std::vector<std::string> local_calls, remote_calls;
            const auto hook = [at, from_observer](std::vector<std::string>& calls) {
                return [&calls, at, from_observer] {
                    calls.push_back("poll");
                    if (!from_observer && at >= 0 && std::count(calls.begin(), calls.end(),
                                                                "poll") == at + 1) {
                        throw std::runtime_error("interrupt");
                    }
                };
            };
            const auto observer = [at, from_observer](std::vector<std::string>& calls) {
                return [&calls, at, from_observer](const RoundScores& s) -> bool {
                    calls.push_back("round " + std::to_string(s.round));
                    if (from_observer && s.round == at) throw std::runtime_error("observer");
                    return false;
                };
            };
            Booster local = exact_booster(kRegression, adjust);
            const auto fit_local = [&] {
                fit(local, p.table.view(),
                    VectorArg{p.y.data(), static_cast<int64_t>(p.y.size())}, VectorArg{},
                    v.table.view(),
                    VectorArg{v.y.data(), static_cast<int64_t>(v.y.size())}, 3, 1e-3,
                    hook(local_calls), observer(local_calls));
            };
            Booster remote = exact_booster(kRegression, adjust);
            std::vector<RowShard> shards = blocks(p, {250}, false, remote);
            std::vector<RowShard> val = blocks(v, {111}, false, remote);
            RemoteRows rows = rows_of(shards, p.table.cols, false, &val);
            rows.watch.es_patience = 3;
            rows.watch.es_tol = 1e-3;
            rows.watch.between_rounds = hook(remote_calls);
            rows.watch.observer = observer(remote_calls);
            rows.val_scores = [&val] {
                std::vector<double> out;
                for (const RowShard& s : val) {
                    out.insert(out.end(), s.scores().begin(), s.scores().end());
                }
                return out;
            };
            if (at < 0) {
                fit_local();
                fit_remote(remote, rows);
            } else {
                EXPECT_THROW(fit_local(), std::runtime_error);
                EXPECT_THROW(fit_remote(remote, rows), std::runtime_error);
            }
            const std::string setting =
                std::to_string(at) + (from_observer ? " observer" : " poll");
            ASSERT_LT(local.n_trees(), 40) << setting;
            EXPECT_EQ(remote_calls, local_calls) << setting;
            EXPECT_TRUE(serialize_model(remote.model) == serialize_model(local.model)) << setting;
            EXPECT_EQ(remote.best_iteration, local.best_iteration) << setting;
            EXPECT_EQ(remote.validation_losses, local.validation_losses) << setting;
        }
    }
}

// A fit on shards that fails before its first tree leaves the booster as it was, as fit does;
// one that fails later keeps its complete trees, without the directions of the unfinished one.
TEST(RemoteFit, AFailedFitLeavesTheBoosterAsItWas) {
    const Problem p = problem(kRegression, 23);
    const Problem q = problem(kRegression, 24);
    const auto adjust = [](Booster& b) {
        b.params.n_estimators = 3;
        b.params.max_lineage = 1;
    };
    Booster b = exact_booster(kRegression, adjust);
    std::vector<RowShard> first = blocks(p, {300}, false, b);
    RemoteRows first_rows = rows_of(first, p.table.cols, false);
    fit_remote(b, first_rows);
    const std::string before = serialize_model(b.model);
    const size_t directions_before = b.model.projections.size();
    ASSERT_GT(directions_before, 0u) << "the setting must grow projection nodes";

    // Fails in the bins, at the start, in the first tree's growth, in its score update.
    for (const int32_t fail_at : {0, 1, 2, 3}) {
        std::vector<RowShard> shards = blocks(q, {200}, false, b);
        RemoteRows rows = rows_of(shards, q.table.cols, false);
        const auto fail = [] { throw std::runtime_error("a shard is gone"); };
        if (fail_at == 0) {
            rows.column_facts = [&]() -> std::vector<ShardedCuts> {
                fail();
                return {};
            };
        }
        if (fail_at == 1) rows.start = [&](const Model&) { fail(); };
        if (fail_at == 2) rows.source.route = [&](const auto&, const auto&) { fail(); };
        if (fail_at == 3) rows.add_tree = [&](const auto&, const auto&, const auto&) { fail(); };
        EXPECT_THROW(fit_remote(b, rows), std::runtime_error) << fail_at;
        EXPECT_TRUE(serialize_model(b.model) == before) << fail_at;
        EXPECT_EQ(b.model.projections.size(), directions_before) << fail_at;
        EXPECT_EQ(b.n_trees(), 3) << fail_at;
    }

    // A failure in the second tree keeps the first: the model of a one-round fit.
    std::vector<RowShard> shards = blocks(q, {200}, false, b);
    RemoteRows rows = rows_of(shards, q.table.cols, false);
    const auto add_tree = rows.add_tree;
    int32_t trees = 0;
    rows.add_tree = [&](const Tree& tree, const std::vector<int32_t>& leaf_of,
                        const Directions& directions) {
        if (trees++ == 1) throw std::runtime_error("a shard is gone");
        add_tree(tree, leaf_of, directions);
    };
    EXPECT_THROW(fit_remote(b, rows), std::runtime_error);
    Booster one = exact_booster(kRegression, [&](Booster& o) {
        adjust(o);
        o.params.n_estimators = 1;
    });
    std::vector<RowShard> again = blocks(q, {200}, false, one);
    RemoteRows again_rows = rows_of(again, q.table.cols, false);
    fit_remote(one, again_rows);
    EXPECT_EQ(b.n_trees(), 1);
    EXPECT_TRUE(serialize_model(b.model) == serialize_model(one.model));
    EXPECT_EQ(b.model.projections.size(), one.model.projections.size());
}
