#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boosting/remote_fit.hpp"
#include "boosting/row_shard.hpp"
#include "boosting/train.hpp"
#include "io/model_bytes.hpp"
#include "remote_fixtures.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

// The problem's rows cut into consecutive pieces of these sizes (the last takes the rest).
struct Piece {
    int32_t begin = 0;
    int32_t end = 0;
};
std::vector<Piece> pieces(const Problem& p, const std::vector<int32_t>& sizes) {
    std::vector<Piece> out;
    int32_t at = 0;
    for (size_t i = 0; i <= sizes.size(); ++i) {
        const int32_t end = i < sizes.size() ? at + sizes[i] : p.table.rows;
        out.push_back(Piece{at, end});
        at = end;
    }
    return out;
}

// One shard of the given pieces in this order: each piece's values in an array of its own,
// read in place, or (concatenated) all copied into one array with every row's global index.
RowShard shard_of(const Problem& p, const std::vector<Piece>& all, const std::vector<int>& order,
                  bool weighted, bool concatenated, const Booster& settings) {
    const int64_t cols = p.table.cols;
    std::vector<RowBlock> blocks;
    std::vector<double> x, y, w;
    std::vector<int64_t> global;
    for (const int i : order) {
        const Piece& piece = all[i];
        auto values = std::make_shared<std::vector<double>>(p.table.x.begin() + piece.begin * cols,
                                                            p.table.x.begin() + piece.end * cols);
        x.insert(x.end(), values->begin(), values->end());
        blocks.push_back(RowBlock{std::shared_ptr<const double>(values, values->data()),
                                  piece.end - piece.begin, piece.begin});
        for (int32_t r = piece.begin; r < piece.end; ++r) {
            y.push_back(p.y[r]);
            if (weighted) w.push_back(p.w[r]);
            global.push_back(r);
        }
    }
    if (concatenated) {
        return RowShard(std::move(x), p.table.cols, std::move(y), std::move(w), weighted,
                        std::move(global), settings.params);
    }
    RowShard shard(std::move(blocks), p.table.cols, std::move(y), std::move(w), weighted,
                   settings.params);
    EXPECT_EQ(shard.global_rows(), global);
    return shard;
}

}  // namespace

// A worker's blocks read in place answer every message as the same rows copied into one
// array do: blocks of uneven sizes (one empty, one of a single row) in an order other than
// the rows' global order, with NaN, infinities and weights, under the axis, both oblique and
// the lineage builders. The model is the local fit's bytes and every row's scores are the
// same bits as those of the concatenated shards.
TEST(ShardBlocks, BlocksReadInPlaceAnswerAsTheirRowsConcatenated) {
    const std::vector<Case> cases = {
        {"axis", kBinary, true, [](Booster& b) { b.params.split_mode = kAxisOnly; }},
        {"axis wide bins quantile", kRegression, false,
         [](Booster& b) {
             b.params.split_mode = kAxisOnly;
             b.params.max_bins = 300;
             b.params.loss = kQuantile;
             b.params.subsample = 0.7;
         }},
        {"capped oblique", kRegression, true,
         [](Booster& b) {
             b.params.split_mode = kCappedOblique;
             b.params.categorical = {0, 0, 0, 0, 1};
             b.params.learn_missing = true;
         }},
        {"full oblique", kMulticlass, true,
         [](Booster& b) {
             b.params.split_mode = kFullOblique;
             b.params.subsample = 0.8;
         }},
        {"lineage", kRegression, true,
         [](Booster& b) {
             b.params.max_lineage = 2;
             b.params.n_estimators = 5;
         }},
    };
    for (const Case& c : cases) {
        const Problem p = problem(c.objective, 31);
        const std::string expected = local_model_bytes(c, p);
        const std::vector<Piece> all = pieces(p, {37, 0, 211, 1, 150});
        std::vector<std::vector<double>> scores[2];
        for (const bool concatenated : {false, true}) {
            Booster remote = exact_booster(c.objective, c.adjust);
            std::vector<RowShard> shards;
            shards.push_back(shard_of(p, all, {2, 0, 5}, c.weighted, concatenated, remote));
            shards.push_back(shard_of(p, all, {1, 4, 3}, c.weighted, concatenated, remote));
            RemoteRows rows = rows_of(shards, p.table.cols, c.weighted);
            fit_remote(remote, rows);
            EXPECT_TRUE(serialize_model(remote.model) == expected)
                << c.name << (concatenated ? " concatenated" : " in place");
            for (const RowShard& s : shards) scores[concatenated].push_back(s.scores());
        }
        EXPECT_EQ(scores[0], scores[1]) << c.name;
    }
}
