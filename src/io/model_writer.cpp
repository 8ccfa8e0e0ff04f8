#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "common/memory.hpp"
#include "io/byte_fields.hpp"
#include "io/model_bytes.hpp"

namespace vorlent {
namespace {

using io::ByteWriter;

// Container lengths are stored as i32.
int32_t count32(size_t n) { return static_cast<int32_t>(n); }

// One node record, filled in place: the fixed 81 bytes, then the leaf values.
void write_node(ByteWriter& w, const Node& node) {
    const size_t n_values = node.leaf_values.size();
    char* at = w.grow(kNodeRecordBytes + n_values * io::kF64Size);
    at[0] = node.is_leaf ? 1 : 0;
    io::store_f64(at + 1, node.value);
    io::store_i32(at + 9, node.kind);
    io::store_i32(at + 13, node.feature_a);
    io::store_i32(at + 17, node.feature_b);
    io::store_f64(at + 21, node.threshold);
    io::store_f64(at + 29, node.coef_a);
    io::store_f64(at + 37, node.coef_b);
    io::store_f64(at + 45, node.bias);
    io::store_i32(at + 53, node.left);
    io::store_i32(at + 57, node.right);
    io::store_i32(at + 61, node.missing_right);
    io::store_f64(at + 65, node.gain);
    io::store_i32(at + 73, node.projection);
    io::store_i32(at + 77, count32(n_values));
    io::store_f64s(at + kNodeRecordBytes, node.leaf_values.data(), n_values);
}

// Category offsets matter only where routing reads them: internal categorical-pair nodes
// without a projection. Offsets anywhere else are never read and are not written.
bool stores_categories(const Node& node) {
    return !node.is_leaf && node.projection < 0 && node.kind == kCategoryPair &&
           !node.category_values.empty();
}

// Closes a tagged block that began at `start` with its length, tag and length included.
void end_block(ByteWriter& w, size_t start, const char* what) {
    const size_t length = w.size() - start + io::kI32Size;
    if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        throw std::length_error(std::string(what) + " of the model exceed 2 GiB");
    }
    w.i32(static_cast<int32_t>(length));
}

void write_categories(ByteWriter& w, const std::vector<Tree>& trees) {
    int32_t listed = 0;
    for (const Tree& tree : trees) {
        for (const Node& node : tree) listed += stores_categories(node) ? 1 : 0;
    }
    if (listed == 0) return;
    const size_t start = w.size();
    w.tag(kCategoryTag);
    w.i32(listed);
    for (size_t t = 0; t < trees.size(); ++t) {
        for (size_t i = 0; i < trees[t].size(); ++i) {
            const Node& node = trees[t][i];
            if (!stores_categories(node)) continue;
            w.i32(count32(t));
            w.i32(count32(i));
            w.i32(count32(node.category_values.size()));
            w.f64s(node.category_values.data(), node.category_values.size());
        }
    }
    end_block(w, start, "the category offsets");
}

void write_interactions(ByteWriter& w, const std::vector<PairGain>& pairs) {
    if (pairs.empty()) return;
    const size_t start = w.size();
    w.tag(kInteractionTag);
    w.i32(count32(pairs.size()));
    char* at = w.grow(pairs.size() * kPairEntryBytes);
    for (const PairGain& p : pairs) {
        io::store_i32(at, p.a);
        io::store_i32(at + io::kI32Size, p.b);
        io::store_f64(at + 2 * io::kI32Size, p.gain);
        at += kPairEntryBytes;
    }
    end_block(w, start, "the interaction gains");
}

// The tagged block of n entries of entry_bytes each: tag, count, entries, length.
size_t block_size(size_t n, size_t entry_bytes) {
    return n == 0 ? 0 : 4 + 2 * io::kI32Size + n * entry_bytes;
}

// The length of the five blocks and the interaction block, so the buffer is allocated
// once (but for category offsets, which are few).
size_t model_size(const Model& b) {
    size_t n =
        kHeaderBytes + 3 * io::kI32Size + 2 * b.importances.feature_gain.size() * io::kF64Size;
    n += io::kI32Size;
    for (const Tree& tree : b.trees) {
        n += io::kI32Size + tree.size() * kNodeRecordBytes;
        for (const Node& node : tree) n += node.leaf_values.size() * io::kF64Size;
    }
    n += io::kI32Size;
    for (const std::vector<double>& d : b.projections) n += io::kI32Size + d.size() * io::kF64Size;
    n += io::kI32Size + b.base_scores.size() * io::kF64Size;
    return n + block_size(b.importances.interaction_gain.size(), kPairEntryBytes);
}

}  // namespace

std::string serialize_model(const Model& b) {
    // The bytes are built once here and copied once into the caller's bytes object.
    const size_t size = model_size(b);
    check_memory_for_output(2.0 * static_cast<double>(size),
                            "serializing a model of " + std::to_string(size) + " bytes");
    ByteWriter w;
    w.reserve(size);
    w.f64(b.base_score);
    w.f64(b.learning_rate);
    w.i32(b.objective);
    w.i32(b.clip);
    w.f64(b.clip_low);
    w.f64(b.clip_high);
    w.i32(b.n_outputs);

    // coefficient_gain has no count of its own: it takes feature_gain's. A model continued
    // on a wider matrix can have a longer feature_gain; its missing entries are zeros.
    const size_t f = b.importances.feature_gain.size();
    w.i32(count32(f));
    w.f64s(b.importances.feature_gain.data(), f);
    w.i32(b.n_features);
    for (size_t j = 0; j < f; ++j) {
        w.f64(j < b.importances.coefficient_gain.size() ? b.importances.coefficient_gain[j] : 0.0);
    }
    // The interaction gains travel in their own block; an empty dense table stands in.
    w.i32(0);

    w.i32(count32(b.trees.size()));
    for (const Tree& tree : b.trees) {
        w.i32(count32(tree.size()));
        for (const Node& node : tree) write_node(w, node);
    }

    w.i32(count32(b.projections.size()));
    for (const std::vector<double>& d : b.projections) {
        w.i32(count32(d.size()));
        w.f64s(d.data(), d.size());
    }

    w.i32(count32(b.base_scores.size()));
    w.f64s(b.base_scores.data(), b.base_scores.size());

    write_categories(w, b.trees);
    write_interactions(w, b.importances.interaction_gain.sorted());
    return w.take();
}

}  // namespace vorlent
