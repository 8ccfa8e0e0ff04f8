#pragma once
// Little-endian field encoding of the model bytes. Values are assembled byte by byte, so
// the stream reads the same on any host; doubles travel as their 64-bit pattern, which
// keeps NaN payloads, infinities and the sign of zero.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vorlent::io {

static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559,
              "the model bytes store IEEE-754 binary64 values");

inline constexpr size_t kI32Size = 4;
inline constexpr size_t kF64Size = 8;

// Little-endian stores into a buffer that the caller has sized.
inline void store_u64(char* at, uint64_t bits, int n_bytes) {
    for (int i = 0; i < n_bytes; ++i) at[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
}
inline void store_i32(char* at, int32_t v) { store_u64(at, static_cast<uint32_t>(v), 4); }
inline void store_f64(char* at, double v) { store_u64(at, std::bit_cast<uint64_t>(v), 8); }
inline void store_f64s(char* at, const double* values, size_t count) {
    for (size_t i = 0; i < count; ++i) store_f64(at + i * kF64Size, values[i]);
}

// Appends fields to a growing byte string.
class ByteWriter {
public:
    void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void i32(int32_t v) { store_i32(grow(kI32Size), v); }
    void f64(double v) { store_f64(grow(kF64Size), v); }
    void f64s(const double* values, size_t count) {
        store_f64s(grow(count * kF64Size), values, count);
    }
    void tag(const char (&text)[5]) { out_.append(text, 4); }
    // Appends n bytes for the caller to fill and returns where they start.
    char* grow(size_t n) {
        const size_t at = out_.size();
        out_.resize(at + n);
        return out_.data() + at;
    }

    size_t size() const { return out_.size(); }
    void reserve(size_t n) { out_.reserve(n); }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// Reads fields at a running offset. Every read is bounds-checked; every failure throws
// std::invalid_argument naming the byte offset where the problem lies.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    size_t offset() const { return offset_; }
    size_t remaining() const { return size_ - offset_; }
    bool at_end() const { return offset_ == size_; }

    [[noreturn]] void fail_at(size_t offset, const std::string& problem) const {
        throw std::invalid_argument("data: invalid model bytes at offset " +
                                    std::to_string(offset) + ": " + problem);
    }

    uint8_t u8(const char* field) {
        need(1, field);
        return data_[offset_++];
    }
    int32_t i32(const char* field) { return static_cast<int32_t>(take(4, field)); }
    double f64(const char* field) { return std::bit_cast<double>(take(8, field)); }

    // A count of items that follow, each at least item_size bytes long: it must be
    // non-negative and the remaining bytes must be able to hold that many items, so a
    // corrupt count can never ask for more memory than the input itself suggests.
    int32_t count(const char* field, size_t item_size) {
        const size_t at = offset_;
        const int32_t n = i32(field);
        if (n < 0) fail_at(at, std::string(field) + " is negative (" + std::to_string(n) + ")");
        if (static_cast<uint64_t>(n) * item_size > remaining()) {
            fail_at(at, std::string(field) + " " + std::to_string(n) + " needs at least " +
                            std::to_string(static_cast<uint64_t>(n) * item_size) +
                            " more bytes, but only " + std::to_string(remaining()) + " remain");
        }
        return n;
    }

    // Replaces `out` by `n` doubles.
    void f64s(std::vector<double>& out, int32_t n, const char* field) {
        need(static_cast<size_t>(n) * kF64Size, field);
        out.resize(static_cast<size_t>(n));
        for (double& v : out) {
            v = std::bit_cast<double>(decode(8));
            offset_ += kF64Size;
        }
    }

    // True when the next bytes spell `text` (4 characters); consumes nothing.
    bool starts_with(const char (&text)[5]) const {
        return remaining() >= 4 && std::memcmp(data_ + offset_, text, 4) == 0;
    }
    void skip(size_t n) { offset_ += n; }

private:
    void need(size_t n, const char* field) const {
        if (n > remaining()) {
            fail_at(offset_, std::string("the bytes end inside ") + field + " (" +
                                 std::to_string(n) + " bytes needed, " +
                                 std::to_string(remaining()) + " left)");
        }
    }
    // The little-endian value of the n_bytes at the offset; the caller checked they exist.
    uint64_t decode(int n_bytes) const {
        uint64_t bits = 0;
        for (int i = 0; i < n_bytes; ++i) bits |= uint64_t{data_[offset_ + i]} << (8 * i);
        return bits;
    }
    uint64_t take(int n_bytes, const char* field) {
        need(static_cast<size_t>(n_bytes), field);
        const uint64_t bits = decode(n_bytes);
        offset_ += static_cast<size_t>(n_bytes);
        return bits;
    }

    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace vorlent::io
