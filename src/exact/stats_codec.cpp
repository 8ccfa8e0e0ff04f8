#include "exact/stats_codec.hpp"

#include <stdexcept>

namespace vorlent {
namespace {

// At most ten bytes a word: nine of 7 bits and a tenth that holds the last bit alone.
constexpr int kMaxBytes = 10;

}  // namespace

std::vector<uint8_t> pack_words(const int64_t* words, int64_t n) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(n) * 2);
    for (int64_t i = 0; i < n; ++i) {
        const auto w = static_cast<uint64_t>(words[i]);
        // Arithmetic shift of the sign over every bit, without relying on it for negatives.
        uint64_t z = (w << 1) ^ (words[i] < 0 ? ~uint64_t{0} : uint64_t{0});
        while (z >= 0x80) {
            out.push_back(static_cast<uint8_t>(z | 0x80));
            z >>= 7;
        }
        out.push_back(static_cast<uint8_t>(z));
    }
    return out;
}

void unpack_words(const uint8_t* bytes, size_t size, std::vector<int64_t>& out) {
    out.clear();
    size_t at = 0;
    while (at < size) {
        uint64_t z = 0;
        for (int k = 0;; ++k) {
            if (at == size) throw std::invalid_argument("packed statistics: a word cut short");
            const uint8_t b = bytes[at++];
            if (k == kMaxBytes - 1 && b > 1) {
                throw std::invalid_argument("packed statistics: a word longer than 64 bits");
            }
            z |= static_cast<uint64_t>(b & 0x7F) << (7 * k);
            if ((b & 0x80) == 0) break;
        }
        const uint64_t magnitude = z >> 1;
        out.push_back(static_cast<int64_t>((z & 1) != 0 ? ~magnitude : magnitude));
    }
}

}  // namespace vorlent
