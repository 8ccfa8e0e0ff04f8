// Reading model bytes that may come from anywhere. Nothing reaches the Model until the
// whole buffer has been read and found consistent, so that prediction, importances and
// explanation can trust what they walk:
// - every count is non-negative and fits in the bytes that remain;
// - objective is 0, 1 or 2; n_outputs is 1 to kMaxOutputs, and 1 unless the objective is
//   multiclass; n_features is non-negative;
//   feature_gain (and so coefficient_gain) has n_features entries, the dense interaction
//   table none or n_features squared;
// - a tree has at least one node; a split's children lie after it in its tree (which rules
//   out cycles), a leaf has none; is_leaf and missing_right are 0 or 1; leaf_values has 0
//   or n_outputs entries; projection is -1 or an index of the table;
// - a model with splits has columns (n_features > 0); a split without projection has kind
//   1 to 3 and reads columns below n_features (feature_a, and feature_b unless kind 1);
// - every direction has n_features entries;
// - the category block, when present, lists internal kind 3 splits without projection,
//   in increasing (tree, node) order, each with at least one value, and ends with its
//   own length;
// - the interaction block, when present, follows no dense table and lists at least one
//   pair, each of two columns below n_features, in strictly increasing (feature_a,
//   feature_b) order (so no pair twice), and ends with its own length.
// Fields that no reader looks at (the features of a leaf or of a projection split) are
// kept as they are, so a round trip reproduces the bytes.
#include <bit>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "io/byte_fields.hpp"
#include "io/model_bytes.hpp"

namespace vorlent {
namespace {

using io::ByteReader;
using io::kF64Size;
using io::kI32Size;

// Everything the bytes carry, read and checked before any of it reaches the Model.
struct StagedModel {
    double base_score = 0.0;
    double learning_rate = 0.0;
    Objective objective = kBinary;
    int32_t clip = 0;
    double clip_low = 0.0;
    double clip_high = 0.0;
    int32_t n_outputs = 1;
    int32_t n_features = 0;
    Importances importances;
    std::vector<Tree> trees;
    Directions projections;
    std::vector<double> base_scores;
    std::vector<std::vector<double>> node_covers;  // never in the bytes: always empty
};

std::string node_name(size_t tree, size_t node) {
    return "node " + std::to_string(node) + " of tree " + std::to_string(tree);
}

class ModelReader {
public:
    ModelReader(const uint8_t* data, size_t size) : r_(data, size) {}

    StagedModel read() {
        read_header();
        read_importances();
        read_trees();
        read_projections();
        // The start scores may be missing altogether: such a model starts every output at 0.
        if (r_.at_end()) {
            m_.base_scores.assign(static_cast<size_t>(m_.n_outputs), 0.0);
            return std::move(m_);
        }
        const int32_t b = r_.count("base_scores count", kF64Size);
        r_.f64s(m_.base_scores, b, "base_scores");
        // Anything after the start scores is ignored but for the known blocks in order.
        if (r_.starts_with(kCategoryTag)) read_categories();
        if (r_.starts_with(kInteractionTag)) read_interactions();
        return std::move(m_);
    }

private:
    void read_header() {
        m_.base_score = r_.f64("base_score");
        m_.learning_rate = r_.f64("learning_rate");
        const size_t objective_at = r_.offset();
        m_.objective = static_cast<Objective>(r_.i32("objective"));
        // Prediction branches on the multiclass code; any other code has no meaning.
        if (m_.objective < kBinary || m_.objective > kMulticlass) {
            r_.fail_at(objective_at,
                       "objective must be 0, 1 or 2, got " + std::to_string(m_.objective));
        }
        m_.clip = r_.i32("clip");
        m_.clip_low = r_.f64("clip_low");
        m_.clip_high = r_.f64("clip_high");
        const size_t outputs_at = r_.offset();
        m_.n_outputs = r_.i32("n_outputs");
        if (m_.n_outputs < 1 || m_.n_outputs > kMaxOutputs) {
            r_.fail_at(outputs_at, "n_outputs must be between 1 and " +
                                       std::to_string(kMaxOutputs) + ", got " +
                                       std::to_string(m_.n_outputs));
        }
        // Continued training keeps one score per row unless the model is multiclass.
        if (m_.objective != kMulticlass && m_.n_outputs != 1) {
            r_.fail_at(outputs_at, "n_outputs must be 1 for the binary and regression "
                                   "objectives, got " +
                                       std::to_string(m_.n_outputs));
        }
    }

    void read_importances() {
        // feature_gain and coefficient_gain share the count F.
        const int32_t f = r_.count("feature_gain count", 2 * kF64Size);
        r_.f64s(m_.importances.feature_gain, f, "feature_gain");
        const size_t features_at = r_.offset();
        m_.n_features = r_.i32("n_features");
        if (m_.n_features < 0) {
            r_.fail_at(features_at,
                       "n_features is negative (" + std::to_string(m_.n_features) + ")");
        }
        // The accumulators always have one entry per column (n_features squared for the
        // interactions), so a model's width is paid for in bytes: a small buffer cannot
        // claim a huge width that later work would allocate for.
        if (f != m_.n_features) {
            r_.fail_at(features_at, "feature_gain has " + std::to_string(f) +
                                        " entries but n_features is " +
                                        std::to_string(m_.n_features));
        }
        r_.f64s(m_.importances.coefficient_gain, f, "coefficient_gain");
        const size_t k_at = r_.offset();
        const int32_t k = r_.count("interaction_gain count", kF64Size);
        const int64_t square = int64_t{m_.n_features} * m_.n_features;
        if (k != 0 && k != square) {
            r_.fail_at(k_at, "interaction_gain has " + std::to_string(k) +
                                 " entries, expected 0 or n_features squared (" +
                                 std::to_string(square) + ")");
        }
        if (k > 0) {
            dense_at_ = k_at;
            read_dense_interactions(k);
        }
    }

    // The dense table of earlier writers: its cells in row-major order are the pairs in
    // increasing (feature_a, feature_b) order. Cells that are all zero bits are left out.
    void read_dense_interactions(int32_t cells) {
        std::vector<PairGain> pairs;
        const int32_t n = m_.n_features;
        for (int32_t cell = 0; cell < cells; ++cell) {
            const double gain = r_.f64("interaction_gain");
            if (std::bit_cast<uint64_t>(gain) != 0) pairs.push_back({cell / n, cell % n, gain});
        }
        m_.importances.interaction_gain.assign(std::move(pairs));
    }

    void read_trees() {
        const int32_t t = r_.count("tree count", kI32Size + kNodeRecordBytes);
        m_.trees.resize(static_cast<size_t>(t));
        for (size_t ti = 0; ti < m_.trees.size(); ++ti) {
            const size_t n_at = r_.offset();
            const int32_t n = r_.count("node count", kNodeRecordBytes);
            if (n == 0) r_.fail_at(n_at, "tree " + std::to_string(ti) + " has no nodes");
            Tree& tree = m_.trees[ti];
            tree.resize(static_cast<size_t>(n));
            for (size_t i = 0; i < tree.size(); ++i) read_node(tree[i], ti, i, n);
        }
    }

    void read_node(Node& node, size_t tree, size_t index, int32_t n_nodes) {
        // Messages are built only on failure: a model may hold millions of nodes.
        auto fail = [&](size_t at, const std::string& problem) {
            r_.fail_at(at, node_name(tree, index) + problem);
        };
        const size_t start = r_.offset();
        const uint8_t is_leaf = r_.u8("is_leaf");
        if (is_leaf > 1) fail(start, ": is_leaf must be 0 or 1, got " + std::to_string(is_leaf));
        node.is_leaf = is_leaf == 1;
        node.value = r_.f64("value");
        const size_t kind_at = r_.offset();
        node.kind = r_.i32("kind");
        node.feature_a = r_.i32("feature_a");
        node.feature_b = r_.i32("feature_b");
        node.threshold = r_.f64("threshold");
        node.coef_a = r_.f64("coef_a");
        node.coef_b = r_.f64("coef_b");
        node.bias = r_.f64("bias");
        const size_t children_at = r_.offset();
        node.left = r_.i32("left");
        node.right = r_.i32("right");
        const size_t missing_at = r_.offset();
        node.missing_right = r_.i32("missing_right");
        node.gain = r_.f64("gain");
        const size_t projection_at = r_.offset();
        node.projection = r_.i32("projection");
        const size_t leaf_count_at = r_.offset();
        const int32_t l = r_.count("leaf_values count", kF64Size);
        if (l != 0 && l != m_.n_outputs) {
            fail(leaf_count_at, " has " + std::to_string(l) +
                                    " leaf values, expected 0 or n_outputs (" +
                                    std::to_string(m_.n_outputs) + ")");
        }
        r_.f64s(node.leaf_values, l, "leaf_values");

        if (node.missing_right != 0 && node.missing_right != 1) {
            fail(missing_at,
                 ": missing_right must be 0 or 1, got " + std::to_string(node.missing_right));
        }
        if (node.projection < -1) {
            fail(projection_at,
                 ": projection must be -1 or an index, got " + std::to_string(node.projection));
        }
        // Whether the index exists is known only once the table has been read.
        if (node.projection > max_projection_) {
            max_projection_ = node.projection;
            max_projection_at_ = projection_at;
            max_projection_tree_ = tree;
            max_projection_index_ = index;
        }
        if (node.is_leaf) {
            if (node.left != -1 || node.right != -1) {
                fail(children_at, " is a leaf but has children " + std::to_string(node.left) +
                                      " and " + std::to_string(node.right));
            }
            return;
        }
        // Children after their parent rule out cycles, so every walk ends at a leaf.
        for (const int32_t child : {node.left, node.right}) {
            if (child <= static_cast<int64_t>(index) || child >= n_nodes) {
                fail(children_at, " has child " + std::to_string(child) +
                                      ", which is not after it in its tree of " +
                                      std::to_string(n_nodes) + " nodes");
            }
        }
        // A split reads columns, so a model of no columns cannot have one.
        if (m_.n_features == 0) fail(start, " is a split, but the model has n_features 0");
        if (node.projection >= 0) return;
        if (node.kind < kAxis || node.kind > kCategoryPair) {
            fail(kind_at, ": kind must be 1, 2 or 3, got " + std::to_string(node.kind));
        }
        const size_t feature_a_at = kind_at + kI32Size;
        if (!is_column(node.feature_a)) {
            fail(feature_a_at, ": feature_a " + std::to_string(node.feature_a) +
                                   " is not a column of the model's " +
                                   std::to_string(m_.n_features));
        }
        if (node.kind != kAxis && !is_column(node.feature_b)) {
            fail(feature_a_at + kI32Size, ": feature_b " + std::to_string(node.feature_b) +
                                              " is not a column of the model's " +
                                              std::to_string(m_.n_features));
        }
    }

    bool is_column(int32_t column) const { return column >= 0 && column < m_.n_features; }

    void read_projections() {
        const size_t p_at = r_.offset();
        const int32_t p = r_.count("projection count", kI32Size);
        if (max_projection_ >= p) {
            r_.fail_at(max_projection_at_, node_name(max_projection_tree_, max_projection_index_) +
                                               " uses projection " +
                                               std::to_string(max_projection_) +
                                               ", but the table at offset " + std::to_string(p_at) +
                                               " has " + std::to_string(p) + " entries");
        }
        m_.projections.resize(static_cast<size_t>(p));
        for (size_t i = 0; i < m_.projections.size(); ++i) {
            const size_t m_at = r_.offset();
            const int32_t m = r_.count("direction length", kF64Size);
            if (m != m_.n_features) {
                r_.fail_at(m_at, "direction " + std::to_string(i) + " has " + std::to_string(m) +
                                     " entries, expected n_features (" +
                                     std::to_string(m_.n_features) + ")");
            }
            r_.f64s(m_.projections[i], m, "direction");
        }
    }

    void read_categories() {
        const size_t start = r_.offset();
        r_.skip(4);
        // Each entry holds at least its three i32 fields and one value.
        const size_t c_at = r_.offset();
        const int32_t c = r_.count("category node count", 3 * kI32Size + kF64Size);
        if (c == 0) r_.fail_at(c_at, "the category block lists no nodes");
        int64_t previous = -1;
        for (int32_t e = 0; e < c; ++e) {
            const size_t entry_at = r_.offset();
            const int32_t t = r_.i32("category tree index");
            const int32_t i = r_.i32("category node index");
            if (t < 0 || static_cast<size_t>(t) >= m_.trees.size()) {
                r_.fail_at(entry_at, "category entry " + std::to_string(e) + " names tree " +
                                         std::to_string(t) + " of " +
                                         std::to_string(m_.trees.size()));
            }
            Tree& tree = m_.trees[static_cast<size_t>(t)];
            if (i < 0 || static_cast<size_t>(i) >= tree.size()) {
                r_.fail_at(entry_at + kI32Size,
                           "category entry " + std::to_string(e) + " names node " +
                               std::to_string(i) + " of tree " + std::to_string(t) +
                               ", which has " + std::to_string(tree.size()) + " nodes");
            }
            // Strictly increasing (tree, node) lists every node at most once.
            const int64_t key = (int64_t{t} << 32) | i;
            if (key <= previous) {
                r_.fail_at(entry_at, "category entry " + std::to_string(e) +
                                         " is not after the previous one in (tree, node) "
                                         "order");
            }
            previous = key;
            Node& node = tree[static_cast<size_t>(i)];
            if (node.is_leaf || node.projection >= 0 || node.kind != kCategoryPair) {
                r_.fail_at(entry_at, node_name(static_cast<size_t>(t), static_cast<size_t>(i)) +
                                         " is not a categorical-pair split");
            }
            const size_t v_at = r_.offset();
            const int32_t v = r_.count("category value count", kF64Size);
            if (v == 0) r_.fail_at(v_at, "category entry " + std::to_string(e) + " has no values");
            r_.f64s(node.category_values, v, "category values");
        }
        read_block_end(start, "category block length", "the category block");
    }

    void read_interactions() {
        const size_t start = r_.offset();
        if (dense_at_ > 0) {
            r_.fail_at(start,
                       "an interaction block follows the dense interaction_gain table at "
                       "offset " +
                           std::to_string(dense_at_) + ": the gains would be given twice");
        }
        r_.skip(4);
        const size_t p_at = r_.offset();
        const int32_t p = r_.count("interaction pair count", kPairEntryBytes);
        if (p == 0) r_.fail_at(p_at, "the interaction block lists no pairs");
        std::vector<PairGain> pairs(static_cast<size_t>(p));
        for (int32_t e = 0; e < p; ++e) {
            const size_t entry_at = r_.offset();
            PairGain& pair = pairs[static_cast<size_t>(e)];
            pair.a = r_.i32("interaction feature_a");
            pair.b = r_.i32("interaction feature_b");
            pair.gain = r_.f64("interaction gain");
            for (const auto& [column, at] :
                 {std::pair{pair.a, entry_at}, std::pair{pair.b, entry_at + kI32Size}}) {
                if (!is_column(column)) {
                    r_.fail_at(at, "interaction pair " + std::to_string(e) + " names column " +
                                       std::to_string(column) + ", which is not one of the " +
                                       "model's " + std::to_string(m_.n_features));
                }
            }
            // Strictly increasing pairs list every pair at most once.
            if (e > 0 && !precedes(pairs[static_cast<size_t>(e) - 1], pair)) {
                r_.fail_at(entry_at, "interaction pair " + std::to_string(e) + " " +
                                         pair_name(pair) + " does not follow the previous " +
                                         pair_name(pairs[static_cast<size_t>(e) - 1]) +
                                         ": pairs must be distinct and in increasing "
                                         "(feature_a, feature_b) order");
            }
        }
        read_block_end(start, "interaction block length", "the interaction block");
        m_.importances.interaction_gain.assign(std::move(pairs));
    }

    static bool precedes(const PairGain& x, const PairGain& y) {
        return x.a < y.a || (x.a == y.a && x.b < y.b);
    }

    static std::string pair_name(const PairGain& p) {
        return "(" + std::to_string(p.a) + ", " + std::to_string(p.b) + ")";
    }

    // A tagged block that began at `start` ends with its own length.
    void read_block_end(size_t start, const char* field, const std::string& block) {
        const size_t length_at = r_.offset();
        const int32_t length = r_.i32(field);
        if (length < 0 || static_cast<size_t>(length) != r_.offset() - start) {
            r_.fail_at(length_at, block + " is " + std::to_string(r_.offset() - start) +
                                      " bytes long but records " + std::to_string(length));
        }
    }

    ByteReader r_;
    StagedModel m_;
    size_t dense_at_ = 0;  // offset of K when the bytes hold a dense interaction table
    int32_t max_projection_ = -1;
    size_t max_projection_at_ = 0;
    size_t max_projection_tree_ = 0;
    size_t max_projection_index_ = 0;
};

}  // namespace

void deserialize_model(Model& model, const uint8_t* data, size_t size) {
    StagedModel m = ModelReader(data, size).read();

    // Everything has been read and checked: hand the fields over. Swapping keeps the old
    // model in `m`, so the Model can be restored should refreshing its facts fail.
    auto exchange = [&] {
        std::swap(model.base_score, m.base_score);
        std::swap(model.learning_rate, m.learning_rate);
        std::swap(model.objective, m.objective);
        std::swap(model.clip, m.clip);
        std::swap(model.clip_low, m.clip_low);
        std::swap(model.clip_high, m.clip_high);
        std::swap(model.n_outputs, m.n_outputs);
        std::swap(model.n_features, m.n_features);
        std::swap(model.importances, m.importances);
        model.trees.swap(m.trees);
        model.projections.swap(m.projections);
        model.base_scores.swap(m.base_scores);
        model.node_covers.swap(m.node_covers);
    };
    const int32_t old_width = model.required_width;
    const int32_t old_depth = model.deepest_path;
    exchange();
    try {
        model.refresh_facts();
    } catch (...) {
        exchange();
        model.required_width = old_width;
        model.deepest_path = old_depth;
        throw;
    }
}

}  // namespace vorlent
