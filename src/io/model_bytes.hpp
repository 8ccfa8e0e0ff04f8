#pragma once
// The model as bytes: the flat little-endian stream that `serialize` writes and
// `deserialize` reads back.
//
// Layout: a 44-byte header (base_score, learning_rate, objective, clip, clip_low,
// clip_high, n_outputs), the importance accumulators, the trees (81 bytes per node plus
// its leaf values), the projection table and the per-output start scores. When some
// categorical-pair node carries category offsets, one tagged block follows:
//   "VCAT", i32 node count C, then C entries (i32 tree, i32 node, i32 value count V,
//   V f64 values) in increasing (tree, node) order, then i32 byte length of the whole
//   block, tag and length included.
// Models without such offsets end after the start scores, so their bytes are unchanged.
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
