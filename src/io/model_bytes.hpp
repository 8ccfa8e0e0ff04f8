#pragma once
// The model as bytes: the flat little-endian stream that `serialize` writes and
// `deserialize` reads back.
//
// Layout: a 44-byte header (base_score, learning_rate, objective, clip, clip_low,
// clip_high, n_outputs), the importance accumulators, the trees (81 bytes per node plus
// its leaf values), the projection table and the per-output start scores.
//
// The importance accumulators: i32 F, F f64 feature gains, i32 n_features, F f64
// coefficient gains, i32 K, K f64 interaction gains. The writer always puts K = 0 and
// stores the interaction gains in a tagged block (below). K = n_features^2 is the dense
// row-major table that writers before that block wrote; it is still read, as the pairs
// whose cell is not all zero bits, so that the gains and every share computed from them
// stay what they were. Such bytes are written back in the sparse form.
//
// Tagged blocks follow the start scores, each at most once and in this order, each ending
// with an i32 byte length of the whole block (tag and length included):
//   "VCAT", when some categorical-pair node carries category offsets: i32 node count C,
//     then C entries (i32 tree, i32 node, i32 value count V, V f64 values) in increasing
//     (tree, node) order;
//   "VINT", when some ordered column pair has interaction gain: i32 pair count P (at
//     least 1), then P entries of 16 bytes (i32 feature_a, i32 feature_b, f64 gain) in
//     strictly increasing (feature_a, feature_b) order, both columns below n_features.
//     A stream with a dense table (K > 0) has no "VINT" block.
// A model without such data ends after the start scores. Anything after the last block
// the reader knows is ignored.
//
// Compatibility: every stream of the dense form still loads. Readers from before the
// "VINT" block skip the block like any trailing bytes, but they insist on K =
// n_features^2, so they refuse the stream of a model with columns (naming the offset of
// K) rather than lose its interaction gains; the model file's format version tells their
// users to upgrade.
#include <cstddef>
#include <cstdint>
#include <string>

#include "model/model.hpp"

namespace vorlent {

inline constexpr size_t kHeaderBytes = 44;
// A node record without leaf values.
inline constexpr size_t kNodeRecordBytes = 81;
// The reader's bound on n_outputs: a model without stored start scores gets n_outputs
// zeros, and prediction allocates rows x n_outputs, so the field alone must not be able
// to demand gigabytes.
inline constexpr int32_t kMaxOutputs = 1 << 20;
inline constexpr char kCategoryTag[5] = "VCAT";
inline constexpr char kInteractionTag[5] = "VINT";
// One entry of the interaction block.
inline constexpr size_t kPairEntryBytes = 16;

// The model as bytes. Reads only the fields that the bytes carry.
std::string serialize_model(const Model& model);

// Replaces the fields of `model` (base_score, learning_rate, objective, clip,
// clip_low, clip_high, n_outputs, n_features, the three importance accumulators, trees,
// projections, base_scores) by those stored in `data`. The whole buffer is read and
// checked before anything is stored: on any problem it throws std::invalid_argument
// naming the byte offset, and `model` is left exactly as it was. The node covers become
// empty and the model's facts are refreshed.
void deserialize_model(Model& model, const uint8_t* data, size_t size);

}  // namespace vorlent
