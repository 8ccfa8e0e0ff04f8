#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "booster_fixtures.hpp"
#include "io/model_bytes.hpp"
#include "model/predict.hpp"

using namespace vorlent;
using namespace vorlent::testing;

namespace {

const double kInfinity = std::numeric_limits<double>::infinity();
// A signalling NaN with a payload: it must come back with the same bits.
const double kPayloadNaN = std::bit_cast<double>(uint64_t{0x7FF4000000000123});

// ---- A plain reference encoder and decoder, independent of the library's ------------

struct Bytes {
    std::string s;
    void u8(uint8_t v) { s.push_back(static_cast<char>(v)); }
    void i32(int32_t v) {
        const uint32_t u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
    void f64(double v) {
        uint64_t u;
        std::memcpy(&u, &v, 8);
        for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
    void f64s(const std::vector<double>& v) {
        for (double x : v) f64(x);
    }
};

int32_t get_i32(const std::string& s, size_t at) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t{static_cast<uint8_t>(s.at(at + i))} << (8 * i);
    return static_cast<int32_t>(u);
}

uint64_t get_bits(const std::string& s, size_t at) {
    uint64_t u = 0;
    for (int i = 0; i < 8; ++i) u |= uint64_t{static_cast<uint8_t>(s.at(at + i))} << (8 * i);
    return u;
}

void put_i32(std::string& s, size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i)
        s.at(at + i) = static_cast<char>((static_cast<uint32_t>(v) >> (8 * i)) & 0xFF);
}

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

// The byte layout through the start scores, written out field by field, the obvious way.
std::string reference_core(const Booster& b) {
    Bytes out;
    out.f64(b.model.base_score);
    out.f64(b.model.learning_rate);
    out.i32(b.model.objective);
    out.i32(b.model.clip);
    out.f64(b.model.clip_low);
    out.f64(b.model.clip_high);
    out.i32(b.model.n_outputs);
    out.i32(static_cast<int32_t>(b.model.importances.feature_gain.size()));
    out.f64s(b.model.importances.feature_gain);
    out.i32(b.model.n_features);
    out.f64s(b.model.importances.coefficient_gain);
    out.i32(0);  // the dense interaction table is empty
    out.i32(static_cast<int32_t>(b.model.trees.size()));
    for (const Tree& t : b.model.trees) {
        out.i32(static_cast<int32_t>(t.size()));
        for (const Node& n : t) {
            out.u8(n.is_leaf);
            out.f64(n.value);
            out.i32(n.kind);
            out.i32(n.feature_a);
            out.i32(n.feature_b);
            out.f64(n.threshold);
            out.f64(n.coef_a);
            out.f64(n.coef_b);
            out.f64(n.bias);
            out.i32(n.left);
            out.i32(n.right);
            out.i32(n.missing_right);
            out.f64(n.gain);
            out.i32(n.projection);
            out.i32(static_cast<int32_t>(n.leaf_values.size()));
            out.f64s(n.leaf_values);
        }
    }
    out.i32(static_cast<int32_t>(b.model.projections.size()));
    for (const auto& d : b.model.projections) {
        out.i32(static_cast<int32_t>(d.size()));
        out.f64s(d);
    }
    out.i32(static_cast<int32_t>(b.model.base_scores.size()));
    out.f64s(b.model.base_scores);
    return out.s;
}

// The interaction block: every credited pair in (a, b) order; nothing when there is none.
std::string reference_interactions(const Booster& b) {
    const std::vector<PairGain> pairs = b.model.importances.interaction_gain.sorted();
    if (pairs.empty()) return "";
    Bytes out;
    out.s = "VINT";
    out.i32(static_cast<int32_t>(pairs.size()));
    for (const PairGain& p : pairs) {
        out.i32(p.a);
        out.i32(p.b);
        out.f64(p.gain);
    }
    out.i32(static_cast<int32_t>(out.s.size() + 4));
    return out.s;
}

// The whole stream of a model without category offsets.
std::string reference_bytes(const Booster& b) {
    return reference_core(b) + reference_interactions(b);
}

// The stream that writers before the interaction block wrote for b (without category
// offsets): K = n_features^2 and the dense row-major table in place of K = 0, no block.
std::string dense_bytes(const Booster& b) {
    const int32_t n = b.model.n_features;
    std::vector<double> table(static_cast<size_t>(n) * n, 0.0);
    for (const PairGain& p : b.model.importances.interaction_gain.sorted()) {
        table[static_cast<size_t>(p.a) * n + p.b] = p.gain;
    }
    Bytes dense;
    dense.i32(n * n);
    dense.f64s(table);
    const std::string core = reference_core(b);
    const size_t k_at = 52 + 16 * b.model.importances.feature_gain.size();
    return core.substr(0, k_at) + dense.s + core.substr(k_at + 4);
}

// ---- Hand-built models -----------------------------------------------------------

Node category_node(int32_t code_column, int32_t numeric_column, double slope, double bias,
                   std::vector<double> offsets, int32_t left, int32_t right) {
    Node n =
        split_node(kCategoryPair, code_column, numeric_column, 0.0, 1.0, slope, bias, left, right);
    n.category_values = std::move(offsets);
    return n;
}

Node projection_node(int32_t projection, double bias, int32_t left, int32_t right) {
    Node n = split_node(kNoSplit, -1, -1, 0.0, 0.0, 0.0, bias, left, right);
    n.projection = projection;
    return n;
}

// Four columns; every kind of split, odd doubles in every double field.
Booster every_kind_model() {
    Booster b = default_booster();
    b.model.base_score = -0.0;
    b.params.learning_rate = b.model.learning_rate = 0.3;
    b.params.objective = b.model.objective = kRegression;
    b.params.clip = b.model.clip = 1;
    b.model.clip_low = -kInfinity;
    b.model.clip_high = 7.5;
    b.model.n_features = 4;
    b.model.importances.feature_gain = {1.0, 2.0, kPayloadNaN, 0.0};
    b.model.importances.coefficient_gain = {0.5, -0.0, 3.0, kInfinity};
    b.model.importances.interaction_gain.assign({{3, 2, kPayloadNaN}, {0, 1, 0.25}});

    Tree t0(7);
    t0[0] = split_node(kAxis, 0, -1, 0.5, 0, 0, 0, 1, 4);
    t0[1] = split_node(kLinearPair, 1, 2, 0.0, 2.0, -1.0, 0.25, 2, 3);
    t0[1].missing_right = 0;
    t0[2] = leaf(-1.5);
    t0[3] = leaf(kPayloadNaN);
    t0[4] = category_node(3, 1, 0.5, -0.25, {-2.0, 0.0, 3.0}, 5, 6);
    t0[5] = leaf(-0.0);
    t0[6] = leaf(kInfinity);
    t0[0].gain = 4.0;

    Tree t1(5);
    t1[0] = projection_node(0, -0.1, 1, 2);
    t1[1] = leaf(0.125);
    t1[2] = projection_node(1, 0.3, 3, 4);
    t1[3] = leaf(-2.0);
    t1[4] = leaf(2.0);

    Tree t2(1);
    t2[0] = leaf(0.75);

    b.model.trees = {t0, t1, t2};
    b.model.projections = {{0.6, 0.0, 0.8, 0.0}, {0.0, -1.0, 0.0, 0.0}};
    b.model.refresh_facts();
    return b;
}

// Three classes over two columns.
Booster multiclass_model() {
    Booster b = default_booster();
    b.params.objective = b.model.objective = kMulticlass;
    b.model.n_outputs = 3;
    b.model.n_features = 2;
    b.model.base_scores = {0.1, -0.2, kPayloadNaN};
    b.model.importances.feature_gain = {1.0, 1.0};
    b.model.importances.coefficient_gain = {1.0, 1.0};
    b.model.importances.interaction_gain.assign({{0, 1, 1.0}});
    Tree t(3);
    t[0] = split_node(kLinearPair, 0, 1, 0.0, 1.0, 1.0, 0.0, 1, 2);
    t[1] = leaf(0.0);
    t[1].leaf_values = {1.0, -0.0, -1.0};
    t[2] = leaf(0.0);
    t[2].leaf_values = {-kInfinity, 0.5, 0.25};
    b.model.trees = {t};
    b.model.refresh_facts();
    return b;
}

// A receiving booster whose settings all differ from the defaults.
Booster other_booster() {
    Booster b(7, 0.9, 2, 16, 3.0, 4, 0.5, 0.5, 99, 1, 2, 0.3, 0, {1, -1}, {0, 1}, 2, 2);
    b.best_iteration = 5;
    b.model.trees.push_back(Tree{leaf(9.0)});
    b.model.n_features = 1;
    b.model.importances.feature_gain = {1.0};
    b.model.refresh_facts();
    return b;
}

// Everything a failed load must leave alone, captured as one comparable value.
std::string snapshot(const Booster& b) {
    return serialize_model(b.model) + "|" + std::to_string(b.model.required_width) + "|" +
           std::to_string(b.model.deepest_path) + "|" + std::to_string(b.best_iteration) + "|" +
           std::to_string(b.params.n_estimators) + "|" + std::to_string(b.params.max_depth);
}

void load(Booster& b, const std::string& bytes) {
    b.load_model(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::vector<double> scores(const Booster& b, const std::vector<double>& x, int32_t cols) {
    const int32_t rows = static_cast<int32_t>(x.size() / cols);
    std::vector<double> out(static_cast<size_t>(rows) *
                            (b.model.objective == kMulticlass ? b.model.n_outputs : 1));
    predict_raw(b.model, MatrixView{x.data(), rows, cols}, out.data());
    return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * 8) == 0);
}

bool same_pairs(const std::vector<PairGain>& x, const std::vector<PairGain>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i].a != y[i].a || x[i].b != y[i].b || bits(x[i].gain) != bits(y[i].gain)) {
            return false;
        }
    }
    return true;
}

void expect_same_model(const Booster& a, const Booster& b) {
    EXPECT_EQ(bits(a.model.base_score), bits(b.model.base_score));
    EXPECT_EQ(bits(a.model.learning_rate), bits(b.model.learning_rate));
    EXPECT_EQ(a.model.objective, b.model.objective);
    EXPECT_EQ(a.model.clip, b.model.clip);
    EXPECT_EQ(bits(a.model.clip_low), bits(b.model.clip_low));
    EXPECT_EQ(bits(a.model.clip_high), bits(b.model.clip_high));
    EXPECT_EQ(a.model.n_outputs, b.model.n_outputs);
    EXPECT_EQ(a.model.n_features, b.model.n_features);
    EXPECT_TRUE(same_bits(a.model.importances.feature_gain, b.model.importances.feature_gain));
    EXPECT_TRUE(
        same_bits(a.model.importances.coefficient_gain, b.model.importances.coefficient_gain));
    EXPECT_TRUE(same_pairs(a.model.importances.interaction_gain.sorted(),
                           b.model.importances.interaction_gain.sorted()));
    EXPECT_TRUE(same_bits(a.model.base_scores, b.model.base_scores));
    ASSERT_EQ(a.model.projections.size(), b.model.projections.size());
    for (size_t p = 0; p < a.model.projections.size(); ++p) {
        EXPECT_TRUE(same_bits(a.model.projections[p], b.model.projections[p]));
    }
    ASSERT_EQ(a.model.trees.size(), b.model.trees.size());
    for (size_t t = 0; t < a.model.trees.size(); ++t) {
        ASSERT_EQ(a.model.trees[t].size(), b.model.trees[t].size());
        for (size_t i = 0; i < a.model.trees[t].size(); ++i) {
            const Node& x = a.model.trees[t][i];
            const Node& y = b.model.trees[t][i];
            SCOPED_TRACE("tree " + std::to_string(t) + " node " + std::to_string(i));
            EXPECT_EQ(x.is_leaf, y.is_leaf);
            EXPECT_EQ(bits(x.value), bits(y.value));
            EXPECT_EQ(x.kind, y.kind);
            EXPECT_EQ(x.feature_a, y.feature_a);
            EXPECT_EQ(x.feature_b, y.feature_b);
            EXPECT_EQ(bits(x.threshold), bits(y.threshold));
            EXPECT_EQ(bits(x.coef_a), bits(y.coef_a));
            EXPECT_EQ(bits(x.coef_b), bits(y.coef_b));
            EXPECT_EQ(bits(x.bias), bits(y.bias));
            EXPECT_EQ(x.left, y.left);
            EXPECT_EQ(x.right, y.right);
            EXPECT_EQ(x.missing_right, y.missing_right);
            EXPECT_EQ(bits(x.gain), bits(y.gain));
            EXPECT_EQ(x.projection, y.projection);
            EXPECT_TRUE(same_bits(x.leaf_values, y.leaf_values));
            EXPECT_TRUE(same_bits(x.category_values, y.category_values));
        }
    }
}

}  // namespace

// ---- Layout ----------------------------------------------------------------------

TEST(ModelBytes, NeverFittedBoosterIsThe68KnownBytes) {
    const std::string got = serialize_model(default_booster().model);
    std::string expected(68, '\0');
    const uint8_t rate[8] = {0xb8, 0x1e, 0x85, 0xeb, 0x51, 0xb8, 0xbe, 0x3f};
    std::memcpy(expected.data() + 8, rate, 8);
    expected[40] = 1;
    EXPECT_EQ(got, expected);
}

TEST(ModelBytes, HeaderBlockAndNodeOffsets) {
    Booster b = default_booster();
    b.model.base_score = 1.5;
    b.params.learning_rate = b.model.learning_rate = 0.25;
    b.params.objective = b.model.objective = kMulticlass;
    b.params.clip = b.model.clip = 7;
    b.model.clip_low = -3.0;
    b.model.clip_high = 4.0;
    b.model.n_outputs = 2;
    b.model.n_features = 2;
    b.model.importances.feature_gain = {11.0, 12.0};
    b.model.importances.coefficient_gain = {21.0, 22.0};
    b.model.importances.interaction_gain.assign({{1, 0, 33.0}, {0, 1, 32.0}});
    Node n = split_node(kLinearPair, 1, 0, 2.5, 3.5, 4.5, 5.5, 1, 2);
    n.value = 0.5;
    n.missing_right = 1;
    n.gain = 6.5;
    n.projection = -1;
    b.model.trees = {Tree{n, leaf(1.0), leaf(2.0)}};
    b.model.trees[0][2].leaf_values = {8.0, 9.0};
    b.model.projections = {{0.0, 1.0}};
    b.model.base_scores = {-1.0, 1.0};
    const std::string s = serialize_model(b.model);

    EXPECT_EQ(get_bits(s, 0), bits(1.5));
    EXPECT_EQ(get_bits(s, 8), bits(0.25));
    EXPECT_EQ(get_i32(s, 16), kMulticlass);
    EXPECT_EQ(get_i32(s, 20), 7);
    EXPECT_EQ(get_bits(s, 24), bits(-3.0));
    EXPECT_EQ(get_bits(s, 32), bits(4.0));
    EXPECT_EQ(get_i32(s, 40), 2);
    // Importances: F = 2, then coefficient_gain reuses F.
    EXPECT_EQ(get_i32(s, 44), 2);
    EXPECT_EQ(get_bits(s, 48 + 8), bits(12.0));
    EXPECT_EQ(get_i32(s, 48 + 16), 2);
    EXPECT_EQ(get_bits(s, 52 + 16), bits(21.0));
    // The dense interaction table is empty: the pairs come in their own block.
    EXPECT_EQ(get_i32(s, 52 + 32), 0);
    // Trees.
    const size_t trees_at = 56 + 32;
    EXPECT_EQ(get_i32(s, trees_at), 1);
    EXPECT_EQ(get_i32(s, trees_at + 4), 3);
    const size_t node = trees_at + 8;
    EXPECT_EQ(s[node + 0], 0);
    EXPECT_EQ(get_bits(s, node + 1), bits(0.5));
    EXPECT_EQ(get_i32(s, node + 9), kLinearPair);
    EXPECT_EQ(get_i32(s, node + 13), 1);
    EXPECT_EQ(get_i32(s, node + 17), 0);
    EXPECT_EQ(get_bits(s, node + 21), bits(2.5));
    EXPECT_EQ(get_bits(s, node + 29), bits(3.5));
    EXPECT_EQ(get_bits(s, node + 37), bits(4.5));
    EXPECT_EQ(get_bits(s, node + 45), bits(5.5));
    EXPECT_EQ(get_i32(s, node + 53), 1);
    EXPECT_EQ(get_i32(s, node + 57), 2);
    EXPECT_EQ(get_i32(s, node + 61), 1);
    EXPECT_EQ(get_bits(s, node + 65), bits(6.5));
    EXPECT_EQ(get_i32(s, node + 73), -1);
    EXPECT_EQ(get_i32(s, node + 77), 0);
    // A record without leaf values is 81 bytes; with L values, 81 + 8L.
    const size_t second = node + kNodeRecordBytes;
    EXPECT_EQ(s[second], 1);
    EXPECT_EQ(get_bits(s, second + 1), bits(1.0));
    const size_t third = second + 81;
    EXPECT_EQ(get_i32(s, third + 77), 2);
    EXPECT_EQ(get_bits(s, third + 89), bits(9.0));
    // Projections and start scores close the stream.
    const size_t projections_at = third + 81 + 16;
    EXPECT_EQ(get_i32(s, projections_at), 1);
    EXPECT_EQ(get_i32(s, projections_at + 4), 2);
    EXPECT_EQ(get_bits(s, projections_at + 16), bits(1.0));
    EXPECT_EQ(get_i32(s, projections_at + 24), 2);
    EXPECT_EQ(get_bits(s, projections_at + 36), bits(1.0));
    // The interaction block: tag, pair count, 16 bytes per pair in (a, b) order, length.
    const size_t block = projections_at + 44;
    EXPECT_EQ(s.substr(block, 4), "VINT");
    EXPECT_EQ(get_i32(s, block + 4), 2);
    EXPECT_EQ(get_i32(s, block + 8), 0);
    EXPECT_EQ(get_i32(s, block + 12), 1);
    EXPECT_EQ(get_bits(s, block + 16), bits(32.0));
    EXPECT_EQ(get_i32(s, block + 24), 1);
    EXPECT_EQ(get_i32(s, block + 28), 0);
    EXPECT_EQ(get_bits(s, block + 32), bits(33.0));
    EXPECT_EQ(get_i32(s, block + 40), 44);
    EXPECT_EQ(s.size(), block + 44);
    EXPECT_EQ(s, reference_bytes(b));
}

TEST(ModelBytes, WriterMatchesReferenceEncoderWithoutCategoryValues) {
    Booster b = every_kind_model();
    for (Tree& t : b.model.trees) {
        for (Node& n : t) n.category_values.clear();
    }
    EXPECT_EQ(serialize_model(b.model), reference_bytes(b));
    const Booster m = multiclass_model();
    EXPECT_EQ(serialize_model(m.model), reference_bytes(m));
}

TEST(ModelBytes, ShortCoefficientGainIsPaddedWithZeros) {
    Booster b = default_booster();
    b.model.n_features = 1;
    b.model.importances.feature_gain = {1.0, 2.0, 3.0};
    b.model.importances.coefficient_gain = {5.0};
    const std::string s = serialize_model(b.model);
    EXPECT_EQ(get_i32(s, 44), 3);
    EXPECT_EQ(get_bits(s, 72 + 4), bits(5.0));
    EXPECT_EQ(get_bits(s, 72 + 12), bits(0.0));
    EXPECT_EQ(get_bits(s, 72 + 20), bits(0.0));
    EXPECT_EQ(s.size(), size_t{68 + 48});
}

// ---- Round trips -----------------------------------------------------------------

TEST(ModelBytes, RoundTripKeepsEveryFieldBitForBit) {
    for (const Booster& original : {every_kind_model(), multiclass_model()}) {
        const std::string bytes = serialize_model(original.model);
        Booster loaded = other_booster();
        load(loaded, bytes);
        expect_same_model(original, loaded);
        EXPECT_EQ(serialize_model(loaded.model), bytes);
        EXPECT_EQ(loaded.n_trees(), original.n_trees());
        EXPECT_EQ(loaded.model.required_width, original.model.required_width);
        EXPECT_EQ(loaded.model.deepest_path, original.model.deepest_path);
        // Settings the bytes do not carry stay the receiver's.
        EXPECT_EQ(loaded.best_iteration, 5);
        EXPECT_EQ(loaded.params.n_estimators, 7);
        EXPECT_EQ(loaded.params.max_depth, 2);
        EXPECT_EQ(loaded.params.reg_lambda, 3.0);
        EXPECT_EQ(loaded.params.loss, 2);
        EXPECT_EQ(loaded.params.monotone, (std::vector<int32_t>{1, -1}));
        EXPECT_EQ(loaded.params.max_lineage, 2);
        EXPECT_EQ(loaded.rng(), Rng(5489)());
    }
}

TEST(ModelBytes, RoundTripPredictsTheSame) {
    std::mt19937 gen(11);
    for (const Booster& original : {every_kind_model(), multiclass_model()}) {
        const int32_t cols = original.model.n_features;
        std::vector<double> x = random_matrix(gen, 300, cols, 0.1);
        // Category codes in and around the offset table, some negative or fractional.
        if (original.model.objective != kMulticlass) {
            for (size_t r = 0; r < 300; ++r)
                x[r * cols + 3] = (static_cast<int>(r) % 7) - 2 + 0.5 * (r % 2);
        }
        Booster loaded = default_booster();
        load(loaded, serialize_model(original.model));
        EXPECT_TRUE(same_bits(scores(loaded, x, cols), scores(original, x, cols)));
    }
}

TEST(ModelBytes, RandomModelsRoundTrip) {
    std::mt19937 gen(23);
    for (int round = 0; round < 20; ++round) {
        Booster b = default_booster();
        b.model.n_features = 6;
        b.model.importances.feature_gain.assign(6, 0.25);
        b.model.importances.coefficient_gain.assign(6, 0.5);
        for (int pair = static_cast<int>(gen() % 4); pair > 0; --pair) {
            b.model.importances.interaction_gain.add(static_cast<int32_t>(gen() % 6),
                                                     static_cast<int32_t>(gen() % 6), 0.125);
        }
        const int n_trees = static_cast<int>(gen() % 5);
        for (int t = 0; t < n_trees; ++t)
            b.model.trees.push_back(random_tree(gen, static_cast<int>(gen() % 5), 6));
        b.model.base_scores.assign(gen() % 3, 0.5);
        b.model.refresh_facts();
        const std::string bytes = serialize_model(b.model);
        EXPECT_EQ(bytes, reference_bytes(b));
        Booster loaded = other_booster();
        load(loaded, bytes);
        expect_same_model(b, loaded);
    }
}

TEST(ModelBytes, MissingStartScoresGiveZerosPerOutput) {
    const Booster m = multiclass_model();
    const std::string full = serialize_model(m.model);
    const std::string without = full.substr(0, reference_core(m).size() - 4 - 3 * 8);
    Booster loaded = default_booster();
    load(loaded, without);
    EXPECT_EQ(loaded.model.base_scores, (std::vector<double>{0.0, 0.0, 0.0}));

    // A single-output model written with no start scores reads them back empty.
    const std::string fresh = serialize_model(default_booster().model);
    Booster a = multiclass_model();
    load(a, fresh);
    EXPECT_TRUE(a.model.base_scores.empty());
    Booster c = multiclass_model();
    load(c, fresh.substr(0, 64));
    EXPECT_EQ(c.model.base_scores, std::vector<double>{0.0});
}

TEST(ModelBytes, LoadingTheEmptyModelEmptiesAFittedBooster) {
    Booster b = every_kind_model();
    load(b, serialize_model(default_booster().model));
    EXPECT_EQ(b.n_trees(), 0);
    EXPECT_TRUE(b.model.importances.feature_gain.empty() &&
                b.model.importances.coefficient_gain.empty() &&
                b.model.importances.interaction_gain.empty());
    EXPECT_TRUE(b.model.projections.empty() && b.model.base_scores.empty());
    EXPECT_EQ(b.model.n_outputs, 1);
    EXPECT_EQ(b.model.n_features, 0);
    EXPECT_EQ(bits(b.model.base_score), bits(0.0));
    EXPECT_EQ(b.model.learning_rate, 0.12);
    EXPECT_EQ(b.model.required_width, 0);
    EXPECT_EQ(b.model.deepest_path, 0);
}

TEST(ModelBytes, BytesAfterTheStartScoresAreIgnored) {
    const Booster m = multiclass_model();
    const std::string bytes = serialize_model(m.model);
    for (const std::string& tail : {std::string("x"), std::string("VCA"), std::string("garbage!"),
                                    std::string(100, '\xff')}) {
        Booster loaded = default_booster();
        load(loaded, bytes + tail);
        EXPECT_EQ(serialize_model(loaded.model), bytes);
    }
}

// ---- The category block ----------------------------------------------------------

TEST(ModelBytes, CategoryBlockOnlyWhenSomeSplitHasOffsets) {
    Booster b = every_kind_model();
    const std::string base = reference_core(b);
    const std::string with = serialize_model(b.model);
    ASSERT_GT(with.size(), base.size());
    EXPECT_EQ(with.substr(0, base.size()), base);
    // The block: tag, one entry (tree 0, node 4, three values), its own length; then the
    // interaction block.
    Bytes block;
    block.s = "VCAT";
    block.i32(1);
    block.i32(0);
    block.i32(4);
    block.i32(3);
    block.f64s({-2.0, 0.0, 3.0});
    block.i32(static_cast<int32_t>(block.s.size() + 4));
    EXPECT_EQ(with.substr(base.size()), block.s + reference_interactions(b));

    // Offsets on nodes that routing never reads as a category split are not written.
    b.model.trees[0][4].category_values.clear();
    b.model.trees[0][2].category_values = {1.0};  // a leaf
    b.model.trees[0][1].category_values = {1.0};  // an oblique split
    b.model.trees[1][0].category_values = {1.0};  // a projection split
    EXPECT_EQ(serialize_model(b.model), reference_bytes(b));
}

TEST(ModelBytes, CategoryOffsetsSurviveAndRouteAsBefore) {
    Booster b = every_kind_model();
    b.model.trees[2] = Tree{category_node(3, 0, 0.0, 0.0, {-1.0}, 1, 2), leaf(-5.0), leaf(5.0)};
    b.model.refresh_facts();
    Booster loaded = other_booster();
    load(loaded, serialize_model(b.model));
    expect_same_model(b, loaded);
    // Code 0 maps to -1 and goes left; every other code maps to 0.0 and goes right.
    const std::vector<double> x{0, 0, 1, 0.7, 0, 0, 1, 1.0};
    const std::vector<double> got = scores(loaded, x, 4);
    EXPECT_TRUE(same_bits(got, scores(b, x, 4)));
    EXPECT_DOUBLE_EQ(got[0], 0.3 * (-1.5 + 2.0 - 5.0));
    EXPECT_DOUBLE_EQ(got[1], 0.3 * (-1.5 + 2.0 + 5.0));
    Booster without = b;
    without.model.trees[2][0].category_values.clear();
    EXPECT_NE(scores(without, x, 4)[0], got[0]);
}

// ---- Rejections ------------------------------------------------------------------

namespace {

// Three columns, one axis tree of three nodes, one direction; B = 0; no interactions.
// Offsets: F 44, n_features 72, K 100, T 104, N 108, nodes at 112, 193, 274, P 355,
// M 359, B 387, end 391.
Booster small_model() {
    Booster b = default_booster();
    b.model.n_features = 3;
    b.model.importances.feature_gain = {1.0, 0.0, 0.0};
    b.model.importances.coefficient_gain = {1.0, 0.0, 0.0};
    b.model.trees = {Tree{split_node(kAxis, 0, -1, 0.5, 0, 0, 0, 1, 2), leaf(-1.0), leaf(1.0)}};
    b.model.projections = {{1.0, 0.0, 0.0}};
    b.model.refresh_facts();
    return b;
}

constexpr size_t kRoot = 112;

// The bytes must be refused with a message naming `offset` and containing `fragment`,
// and a booster that tried to load them must be exactly as before.
void expect_rejected(const std::string& bytes, size_t offset, const std::string& fragment) {
    for (Booster receiver : {default_booster(), every_kind_model()}) {
        const std::string before = snapshot(receiver);
        try {
            load(receiver, bytes);
            ADD_FAILURE() << "accepted bytes that should fail with: " << fragment;
        } catch (const std::invalid_argument& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("offset " + std::to_string(offset) + ":"), std::string::npos)
                << what;
            EXPECT_NE(what.find(fragment), std::string::npos) << what;
        }
        EXPECT_EQ(snapshot(receiver), before);
    }
}

std::string with_i32(std::string bytes, size_t at, int32_t v) {
    put_i32(bytes, at, v);
    return bytes;
}

std::string bytes_of(const std::function<void(Booster&)>& change) {
    Booster b = small_model();
    change(b);
    return serialize_model(b.model);
}

}  // namespace

TEST(ModelBytes, SmallModelOffsetsAreAsDocumented) {
    const std::string s = serialize_model(small_model().model);
    ASSERT_EQ(s.size(), 391u);
    EXPECT_EQ(get_i32(s, 104), 1);
    EXPECT_EQ(get_i32(s, 108), 3);
    EXPECT_EQ(get_i32(s, 355), 1);
    EXPECT_EQ(get_i32(s, 359), 3);
    EXPECT_EQ(get_i32(s, 387), 0);
    Booster b = default_booster();
    load(b, s);
    EXPECT_EQ(b.model.required_width, 1);
}

TEST(ModelBytes, RejectsBadHeaderAndCounts) {
    const std::string s = serialize_model(small_model().model);
    expect_rejected(with_i32(s, 16, 3), 16, "objective must be 0, 1 or 2");
    expect_rejected(with_i32(s, 16, -1), 16, "objective");
    expect_rejected(with_i32(s, 40, 0), 40, "n_outputs");
    expect_rejected(with_i32(s, 40, kMaxOutputs + 1), 40, "n_outputs");
    expect_rejected(with_i32(s, 44, -1), 44, "feature_gain count is negative");
    expect_rejected(with_i32(s, 44, std::numeric_limits<int32_t>::max()), 44, "more bytes");
    expect_rejected(with_i32(s, 44, 2), 64, "feature_gain has 2 entries but n_features is");
    expect_rejected(with_i32(s, 72, -3), 72, "n_features is negative");
    expect_rejected(with_i32(s, 72, 4), 72, "n_features is 4");
    expect_rejected(with_i32(s, 100, 8), 100, "n_features squared (9)");
    expect_rejected(with_i32(s, 100, 1 << 30), 100, "interaction_gain count");
    expect_rejected(with_i32(s, 104, -1), 104, "tree count is negative");
    expect_rejected(with_i32(s, 104, 4), 104, "tree count 4 needs at least 340 more bytes");
    expect_rejected(with_i32(s, 108, 0), 108, "tree 0 has no nodes");
    expect_rejected(with_i32(s, 108, 4), 108, "node count");
    expect_rejected(with_i32(s, 355, 100), 355, "projection count 100 needs at least 400");
    expect_rejected(with_i32(s, 359, 2), 359, "direction 0 has 2 entries, expected n_features (3)");
    expect_rejected(with_i32(s, 387, 1), 387, "base_scores count");
    expect_rejected(with_i32(s, 387, -1), 387, "negative");
    // After block 4 a count needs all four bytes.
    expect_rejected(s.substr(0, 389), 387, "the bytes end inside base_scores count");
}

TEST(ModelBytes, RejectsMalformedNodes) {
    expect_rejected(with_i32(serialize_model(small_model().model), kRoot + 53, 0), kRoot + 53,
                    "node 0 of tree 0 has child 0, which is not after it");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].right = 3; }), kRoot + 53,
                    "has child 3");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].left = -1; }), kRoot + 53,
                    "has child -1");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][1].left = 2; }), kRoot + 81 + 53,
                    "node 1 of tree 0 is a leaf but has children 2 and -1");
    std::string s = serialize_model(small_model().model);
    s[kRoot] = 2;
    expect_rejected(s, kRoot, "is_leaf must be 0 or 1");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].missing_right = 2; }), kRoot + 61,
                    "missing_right must be 0 or 1, got 2");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][2].missing_right = -1; }),
                    kRoot + 162 + 61, "node 2 of tree 0: missing_right");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].kind = 0; }), kRoot + 9,
                    "kind must be 1, 2 or 3, got 0");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].kind = 4; }), kRoot + 9, "got 4");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].feature_a = 3; }), kRoot + 13,
                    "feature_a 3 is not a column of the model's 3");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].feature_a = -1; }), kRoot + 13,
                    "feature_a -1");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].kind = kLinearPair; }),
                    kRoot + 17, "feature_b -1");
    expect_rejected(bytes_of([](Booster& b) {
                        b.model.trees[0][0].kind = kCategoryPair;
                        b.model.trees[0][0].feature_b = 7;
                    }),
                    kRoot + 17, "feature_b 7");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].projection = -2; }), kRoot + 73,
                    "projection must be -1 or an index, got -2");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][0].projection = 1; }), kRoot + 73,
                    "node 0 of tree 0 uses projection 1, but the table at offset 355 has 1");
    expect_rejected(bytes_of([](Booster& b) { b.model.trees[0][1].leaf_values = {1.0, 2.0}; }),
                    kRoot + 81 + 77, "has 2 leaf values, expected 0 or n_outputs (1)");
    // No columns, yet a split.
    expect_rejected(bytes_of([](Booster& b) {
                        b.model.n_features = 0;
                        b.model.importances.feature_gain.clear();
                        b.model.importances.coefficient_gain.clear();
                        b.model.importances.interaction_gain.clear();
                        b.model.projections.clear();
                    }),
                    64, "node 0 of tree 0 is a split, but the model has n_features 0");
}

TEST(ModelBytes, AcceptsWhatRoutingNeverReads) {
    // A kind 1 split ignores feature_b; a projection split ignores kind and features;
    // unreachable nodes are allowed.
    Booster b = small_model();
    b.model.trees[0][0].feature_b = -7;
    b.model.trees.push_back(Tree{projection_node(0, 0.0, 2, 3), leaf(0.0), leaf(1.0), leaf(2.0)});
    b.model.trees.back()[0].kind = 42;
    b.model.trees.back()[0].feature_a = -9;
    b.model.refresh_facts();
    const std::string bytes = serialize_model(b.model);
    Booster loaded = default_booster();
    load(loaded, bytes);
    expect_same_model(b, loaded);
    EXPECT_EQ(serialize_model(loaded.model), bytes);
    // Empty accumulators cannot stand for a model with columns: a few bytes must not be able
    // to claim a width that importances would then allocate for.
    b.model.importances.feature_gain.clear();
    b.model.importances.coefficient_gain.clear();
    b.model.importances.interaction_gain.clear();
    Booster untouched = default_booster();
    EXPECT_THROW(load(untouched, serialize_model(b.model)), std::invalid_argument);
    EXPECT_EQ(untouched.model.n_features, 0);
}

TEST(ModelBytes, RejectsMalformedCategoryBlocks) {
    Booster b = small_model();
    b.model.trees[0][0] = category_node(0, 1, 1.0, 0.0, {1.0, 2.0}, 1, 2);
    const std::string good = serialize_model(b.model);
    ASSERT_EQ(good.size(), 391u + 4 + 4 + 12 + 16 + 4);
    const size_t tag = 391, entry = tag + 8, length_at = good.size() - 4;
    {
        Booster loaded = default_booster();
        load(loaded, good);
        EXPECT_EQ(loaded.model.trees[0][0].category_values, (std::vector<double>{1.0, 2.0}));
    }
    expect_rejected(with_i32(good, tag + 4, 0), tag + 4, "lists no nodes");
    expect_rejected(with_i32(good, tag + 4, -1), tag + 4, "negative");
    expect_rejected(with_i32(good, tag + 4, 2), tag + 4, "category node count 2 needs");
    expect_rejected(with_i32(good, entry, 1), entry, "names tree 1 of 1");
    expect_rejected(with_i32(good, entry, -1), entry, "names tree -1");
    expect_rejected(with_i32(good, entry + 4, 3), entry + 4, "names node 3 of tree 0");
    expect_rejected(with_i32(good, entry + 4, 1), entry,
                    "node 1 of tree 0 is not a categorical-pair split");
    expect_rejected(with_i32(good, entry + 8, 0), entry + 8, "has no values");
    expect_rejected(with_i32(good, entry + 8, 3), entry + 8, "category value count 3 needs");
    expect_rejected(with_i32(good, entry + 8, 1), entry + 20,
                    "block is 32 bytes long but records 0");
    expect_rejected(with_i32(good, length_at, 45), length_at, "records 45");
    expect_rejected(good.substr(0, good.size() - 1), length_at,
                    "the bytes end inside category block length");
    // An axis split or a projection split cannot take offsets.
    std::string axis = good;
    put_i32(axis, kRoot + 9, kAxis);
    expect_rejected(axis, entry, "is not a categorical-pair split");
    // The same node twice.
    Booster two = small_model();
    two.model.trees.push_back(two.model.trees[0]);
    two.model.trees[0][0] = category_node(0, 1, 1.0, 0.0, {1.0}, 1, 2);
    two.model.trees[1][0] = category_node(0, 1, 1.0, 0.0, {1.0}, 1, 2);
    std::string twice = serialize_model(two.model);
    const size_t second_entry = 391 + 3 * 81 + 4 + 8 + 20;
    put_i32(twice, second_entry, 0);
    expect_rejected(twice, second_entry, "is not after the previous one");
}

// ---- The interaction block -------------------------------------------------------

TEST(ModelBytes, DenseTablesOfEarlierWritersLoadAsTheirPairs) {
    Booster kinds = every_kind_model();
    for (Tree& t : kinds.model.trees) {
        for (Node& n : t) n.category_values.clear();
    }
    for (const Booster& b : {kinds, multiclass_model()}) {
        Booster loaded = other_booster();
        load(loaded, dense_bytes(b));
        expect_same_model(b, loaded);
        // Written back in the sparse form: the table becomes K = 0 and the block.
        EXPECT_EQ(serialize_model(loaded.model), serialize_model(b.model));
    }
    // Cells of all zero bits are the pairs left out; a negative zero is a pair.
    Booster b = small_model();
    b.model.importances.interaction_gain.assign({{0, 1, 0.25}, {2, 2, -0.0}});
    Booster with_zero = b;
    with_zero.model.importances.interaction_gain.add(1, 1, 0.0);
    Booster loaded = default_booster();
    load(loaded, dense_bytes(with_zero));
    expect_same_model(b, loaded);
}

TEST(ModelBytes, RejectsMalformedInteractionBlocks) {
    Booster b = small_model();
    b.model.importances.interaction_gain.assign({{2, 0, 2.0}, {0, 1, 1.0}});
    const std::string good = serialize_model(b.model);
    // Tag 391, P 395, pairs at 399 and 415, length at 431.
    ASSERT_EQ(good.size(), 391u + 4 + 4 + 2 * 16 + 4);
    const size_t count_at = 395, first = 399, second = 415, length_at = 431;
    ASSERT_EQ(get_i32(good, second), 2);
    expect_rejected(with_i32(good, count_at, 0), count_at, "the interaction block lists no pairs");
    expect_rejected(with_i32(good, count_at, -1), count_at, "interaction pair count is negative");
    expect_rejected(with_i32(good, count_at, 3), count_at, "interaction pair count 3 needs");
    expect_rejected(with_i32(good, first, 3), first,
                    "interaction pair 0 names column 3, which is not one of the model's 3");
    expect_rejected(with_i32(good, first, -1), first, "names column -1");
    expect_rejected(with_i32(good, first + 4, 3), first + 4, "interaction pair 0 names column 3");
    // The same pair twice, and pairs out of order.
    expect_rejected(with_i32(good, second, 0), second,
                    "interaction pair 1 (0, 0) does not follow the previous (0, 1)");
    expect_rejected(with_i32(with_i32(good, second, 0), second + 4, 1), second,
                    "pair 1 (0, 1) does not follow the previous (0, 1): pairs must be distinct");
    expect_rejected(with_i32(good, first, 2), second, "(2, 0) does not follow the previous (2, 1)");
    expect_rejected(with_i32(good, length_at, 45), length_at,
                    "the interaction block is 44 bytes long but records 45");
    expect_rejected(good.substr(0, good.size() - 1), length_at,
                    "the bytes end inside interaction block length");
    // A dense table and a block would give the gains twice.
    const std::string dense = dense_bytes(b);
    expect_rejected(dense + reference_interactions(b), dense.size(),
                    "follows the dense interaction_gain table at offset 100");
}

// ---- Corruption: truncation and bit flips --------------------------------------

namespace {

// Loads `bytes` into a copy of `receiver`: on success the loaded model must be one that
// predicts without touching memory outside its tables and writes itself back stably; on
// failure the receiver must be untouched.
bool load_or_reject(const Booster& receiver, const std::string& bytes) {
    Booster b = receiver;
    const std::string before = snapshot(b);
    try {
        load(b, bytes);
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("offset "), std::string::npos);
        EXPECT_EQ(snapshot(b), before);
        return false;
    }
    const int32_t cols = std::max(b.model.required_width, 1);
    std::vector<double> x(static_cast<size_t>(cols) * 3, 0.5);
    x[1] = kNaN;
    std::vector<double> out(static_cast<size_t>(3) *
                            (b.model.objective == kMulticlass ? b.model.n_outputs : 2));
    predict_proba(b.model, MatrixView{x.data(), 3, cols}, out.data());
    const std::string again = serialize_model(b.model);
    Booster c = default_booster();
    load(c, again);
    EXPECT_EQ(serialize_model(c.model), again);
    return true;
}

}  // namespace

TEST(ModelBytes, EveryTruncationLoadsFullyOrFails) {
    for (const Booster& model : {every_kind_model(), multiclass_model()}) {
        const std::string bytes = serialize_model(model.model);
        const size_t block5 = reference_core(model).size();
        const size_t b = model.model.base_scores.size();
        const size_t block4 = block5 - 4 - 8 * b;
        // Where the tagged blocks end: every model here has an interaction block last.
        std::vector<size_t> block_ends{block5};
        const size_t interactions = reference_interactions(model).size();
        ASSERT_GT(interactions, 0u);
        if (bytes.size() > block5 + interactions) block_ends.push_back(bytes.size() - interactions);
        std::vector<size_t> loaded;
        for (size_t n = 0; n <= bytes.size(); ++n) {
            if (load_or_reject(other_booster(), bytes.substr(0, n))) loaded.push_back(n);
        }
        // Only the end of block 4, the end of block 5 and of each tagged block but the last
        // with up to three bytes of a tag (too short to be one), and the whole stream load.
        std::vector<size_t> expected{block4};
        for (const size_t end : block_ends) {
            for (size_t n = end; n <= end + 3; ++n) expected.push_back(n);
        }
        expected.push_back(bytes.size());
        EXPECT_EQ(loaded, expected);
    }
}

TEST(ModelBytes, BitFlipsLoadOrFailCleanly) {
    for (const Booster& model : {every_kind_model(), multiclass_model(), small_model()}) {
        const std::string bytes = serialize_model(model.model);
        int accepted = 0, rejected = 0;
        for (size_t at = 0; at < bytes.size(); ++at) {
            for (int bit = 0; bit < 8; ++bit) {
                std::string flipped = bytes;
                flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
                (load_or_reject(every_kind_model(), flipped) ? accepted : rejected) += 1;
            }
        }
        // Doubles absorb most flips; counts, indices and codes refuse many.
        EXPECT_GT(accepted, 0);
        EXPECT_GT(rejected, 0);
    }
}

TEST(ModelBytes, SplicedBuffersLoadOrFailCleanly) {
    std::mt19937 gen(7);
    const std::string a = serialize_model(every_kind_model().model);
    const std::string b = serialize_model(multiclass_model().model);
    for (int round = 0; round < 2000; ++round) {
        const size_t cut_a = gen() % (a.size() + 1);
        const size_t cut_b = gen() % (b.size() + 1);
        const std::string spliced =
            round % 2 ? a.substr(0, cut_a) + b.substr(cut_b) : b.substr(0, cut_b) + a.substr(cut_a);
        load_or_reject(small_model(), spliced);
    }
}
