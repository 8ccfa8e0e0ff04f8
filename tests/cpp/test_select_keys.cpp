#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "boosting/row_shard.hpp"
#include "common/total_order.hpp"
#include "prep/select_keys.hpp"
#include "prep/shard_select.hpp"

using namespace vorlent;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Values that stress the counts: heavy duplicates (with +-0 and +-inf among them), values
// crowded under one top 16 or 24 bits, NaN, plain normal values, and values of so many
// magnitudes that their top 16 bits take more than SelectKeys::kMaxBlocks values.
std::vector<double> random_values(std::mt19937_64& rng, int family, size_t n) {
    std::normal_distribution<double> normal;
    const double pool[] = {0.0, -0.0, kInf, -kInf, 1.0, -2.5, 1e-310, 3.0};
    std::vector<double> x(n);
    for (double& v : x) {
        switch (family % 5) {
            case 0:
                v = pool[rng() % 8];
                break;
            case 1:
                v = 1.0 + std::ldexp(static_cast<double>(rng() % 100000), -40);  // one top 24 bits
                break;
            case 2:
                v = rng() % 10 == 0 ? kNaN : normal(rng);
                break;
            case 3:
                v = rng() % 3 == 0 ? pool[rng() % 8] : std::round(normal(rng) * 50) / 50;
                break;
            default:
                v = std::ldexp(normal(rng), static_cast<int>(rng() % 1500) - 750);
                break;
        }
    }
    return x;
}

std::vector<uint64_t> keys_of(const std::vector<double>& values) {
    std::vector<uint64_t> keys;
    for (const double v : values) {
        if (!std::isnan(v)) keys.push_back(sort_key(v));
    }
    return keys;
}

// The counts of a round by their definition: per prefix, each key under it by its next
// digit, and the smallest and largest such key.
std::vector<uint64_t> brute_counts(const std::vector<uint64_t>& keys, const SelectRound& round) {
    std::vector<uint64_t> out = empty_counts(round);
    for (const uint64_t key : keys) {
        const uint64_t prefix = round.depth == 0 ? 0 : key >> (64 - round.depth);
        for (size_t s = 0; s < round.prefixes.size(); ++s) {
            if (round.prefixes[s] != prefix) continue;
            uint64_t* slot = out.data() + s * kSelectSlot;
            ++slot[(key >> (64 - kSelectDigitBits - round.depth)) & (kSelectDigits - 1)];
            slot[kSelectDigits] = std::min(slot[kSelectDigits], key);
            slot[kSelectDigits + 1] = std::max(slot[kSelectDigits + 1], key);
        }
    }
    return out;
}

// A round at depth under the prefixes of some of the keys, a prefix under none, and (where
// the depth leaves room) one longer than the depth.
SelectRound random_round(std::mt19937_64& rng, const std::vector<uint64_t>& keys, int32_t depth) {
    SelectRound round;
    round.depth = depth;
    if (depth == 0) {
        round.prefixes = {0};
        return round;
    }
    for (int i = 0; i < 40 && !keys.empty(); ++i) {
        round.prefixes.push_back(keys[rng() % keys.size()] >> (64 - depth));
    }
    round.prefixes.push_back(rng() >> (64 - depth));
    if (depth < 48) round.prefixes.push_back(uint64_t{1} << depth);
    std::sort(round.prefixes.begin(), round.prefixes.end());
    round.prefixes.erase(std::unique(round.prefixes.begin(), round.prefixes.end()),
                         round.prefixes.end());
    return round;
}

}  // namespace

// Small and large key sets (the large ones find prefixes through a table): the counts equal
// the brute-force ones at every depth, and narrowing keeps exactly the keys under the prefixes.
TEST(SelectCounts, EqualBruteForceAtEveryDepth) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 16; ++trial) {
        const size_t n = trial % 2 == 0 ? 1 + rng() % 2000 : 150000 + rng() % 50000;
        const std::vector<uint64_t> keys = keys_of(random_values(rng, trial / 2, n));
        for (int32_t depth = 0; depth < 64; depth += kSelectDigitBits) {
            const SelectRound round = random_round(rng, keys, depth);
            const std::vector<uint64_t> expected = brute_counts(keys, round);
            std::vector<uint64_t> counted(round.buffer_size());
            count_keys(keys.data(), std::ssize(keys), round, counted.data());
            ASSERT_EQ(counted, expected) << "trial " << trial << " depth " << depth;

            std::vector<uint64_t> narrowed = keys;
            std::vector<uint64_t> again(round.buffer_size());
            const int64_t kept = count_and_narrow(narrowed.data(), std::ssize(narrowed), round,
                                                  again.data());
            ASSERT_EQ(again, expected);
            std::vector<uint64_t> under;
            for (const uint64_t key : keys) {
                const uint64_t prefix = depth == 0 ? 0 : key >> (64 - depth);
                if (std::binary_search(round.prefixes.begin(), round.prefixes.end(), prefix)) {
                    under.push_back(key);
                }
            }
            narrowed.resize(static_cast<size_t>(kept));
            std::sort(narrowed.begin(), narrowed.end());
            std::sort(under.begin(), under.end());
            ASSERT_EQ(narrowed, under) << "trial " << trial << " depth " << depth;
        }
    }
}

// Shards holding SelectKeys (values taken in uneven pieces, NaN among them) answer every round
// of a selection with the buffer count_keys gives on all their keys, whether from the counts
// by top bits (the first three rounds) or from the keys, and the selected keys are those of
// the sorted order.
TEST(SelectCounts, ShardKeysAnswerAsCountKeysAndSelectTheSortedOrder) {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 10; ++trial) {
        const size_t n_shards = 1 + rng() % 3;
        std::vector<std::vector<uint64_t>> keys(n_shards);
        std::vector<SelectKeys> shards(n_shards);
        std::vector<uint64_t> all;
        for (size_t s = 0; s < n_shards; ++s) {
            const size_t n = s == 1 ? 0 : (trial < 5 ? 1 + rng() % 3000 : 140000 + rng() % 9000);
            const std::vector<double> values = random_values(rng, trial, n);
            for (size_t at = 0; at < values.size();) {
                const size_t piece = std::min(values.size() - at, size_t{1} + rng() % 5000);
                shards[s].append(values.data() + at, static_cast<int64_t>(piece));
                at += piece;
            }
            keys[s] = keys_of(values);
            all.insert(all.end(), keys[s].begin(), keys[s].end());
        }
        if (all.empty()) continue;
        std::sort(all.begin(), all.end());
        std::vector<uint64_t> ranks = {0, all.size() - 1, all.size() / 2};
        for (int i = 0; i < 60; ++i) ranks.push_back(rng() % all.size());
        RankSelection selection(ranks);
        while (!selection.done()) {
            const SelectRound& round = selection.round();
            std::vector<uint64_t> merged = empty_counts(round);
            for (size_t s = 0; s < n_shards; ++s) {
                std::vector<uint64_t> counted(round.buffer_size());
                shards[s].count(round, counted.data());
                std::vector<uint64_t> expected(round.buffer_size());
                count_keys(keys[s].data(), std::ssize(keys[s]), round, expected.data());
                ASSERT_EQ(counted, expected) << "trial " << trial << " depth " << round.depth;
                merge_counts(merged.data(), counted.data(), merged.size());
            }
            selection.decide(merged);
        }
        for (size_t i = 0; i < ranks.size(); ++i) ASSERT_EQ(selection.key(i), all[ranks[i]]);
    }
}

// A shard's counts do not depend on its thread count, nor on whether a column's keys were
// taken together with others'.
TEST(SelectCounts, RowShardCountsEqualForAnyThreadCount) {
    std::mt19937_64 rng(29);
    const int32_t cols = 5;
    const int64_t rows = 140000;
    std::vector<double> x(static_cast<size_t>(rows * cols));
    for (int32_t f = 0; f < cols; ++f) {
        const std::vector<double> column = random_values(rng, f, static_cast<size_t>(rows));
        for (int64_t r = 0; r < rows; ++r) x[r * cols + f] = column[r];
    }
    const std::vector<int32_t> columns = {4, 0, 2, 1, 3};
    auto run = [&](int threads) {
        RowShard shard(x, cols, std::vector<double>(static_cast<size_t>(rows), 0.0), {}, false, 0,
                       BoosterParams{});
        std::vector<RankSelection> selections;
        for (size_t j = 0; j < columns.size(); ++j) {
            selections.emplace_back(std::vector<uint64_t>{0, 777, 60000, 120000});
        }
        const int before = omp_get_max_threads();
        omp_set_num_threads(threads);
        std::vector<std::vector<uint64_t>> answers;
        while (true) {
            std::vector<int32_t> asked;
            std::vector<SelectRound> rounds;
            for (size_t j = 0; j < columns.size(); ++j) {
                if (selections[j].done()) continue;
                asked.push_back(columns[j]);
                rounds.push_back(selections[j].round());
            }
            if (asked.empty()) break;
            const std::vector<std::vector<uint64_t>> counts = shard.count_columns(asked, rounds);
            for (size_t j = 0, t = 0; j < columns.size(); ++j) {
                if (selections[j].done()) continue;
                selections[j].decide(counts[t]);
                answers.push_back(counts[t++]);
            }
        }
        for (size_t j = 0; j < columns.size(); ++j) {
            std::vector<double> column;
            for (int64_t r = 0; r < rows; ++r) column.push_back(x[r * cols + columns[j]]);
            std::vector<uint64_t> sorted = keys_of(column);
            std::sort(sorted.begin(), sorted.end());
            const uint64_t ranks[] = {0, 777, 60000, 120000};
            for (size_t i = 0; i < 4; ++i) {
                EXPECT_EQ(selections[j].key(i), sorted[ranks[i]]);
            }
        }
        omp_set_num_threads(before);
        return answers;
    };
    EXPECT_EQ(run(1), run(3));
}
