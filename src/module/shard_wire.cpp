#include "module/shard_wire.hpp"

#include "exact/stats_codec.hpp"

namespace vorlent::binding {

void unpack_answer(const py::handle& h, std::vector<int64_t>& out) {
    if (!py::isinstance<py::bytes>(h)) fail("shard message: packed words must be bytes");
    char* data = nullptr;
    py::ssize_t size = 0;
    if (PyBytes_AsStringAndSize(h.ptr(), &data, &size) != 0) throw py::error_already_set();
    unpack_words(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size), out);
}

py::bytes packed(const std::vector<int64_t>& words) {
    const std::vector<uint8_t> bytes = pack_words(words.data(), std::ssize(words));
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

py::bytes packed_counts(const std::vector<uint64_t>& counts) {
    return packed(std::vector<int64_t>(counts.begin(), counts.end()));
}
py::list packed_count_list(const std::vector<std::vector<uint64_t>>& buffers) {
    py::list out;
    for (const std::vector<uint64_t>& counts : buffers) out.append(packed_counts(counts));
    return out;
}
std::vector<uint64_t> unpacked_counts(const py::handle& h) {
    std::vector<int64_t> words;
    unpack_answer(h, words);
    return std::vector<uint64_t>(words.begin(), words.end());
}

py::object encode_steps(const ExactSum& s) {
    const ExactInt steps = s.steps();
    const bool negative = steps < 0;
    const auto magnitude = static_cast<unsigned __int128>(negative ? -steps : steps);
    py::int_ high(static_cast<uint64_t>(magnitude >> 64));
    py::int_ low(static_cast<uint64_t>(magnitude));
    py::object value = (high.attr("__lshift__")(64)).attr("__or__")(low);
    return negative ? value.attr("__neg__")() : value;
}
ExactInt decode_steps(const py::handle& h) {
    const py::int_ v = py::reinterpret_borrow<py::int_>(h);
    const bool negative = v.attr("__lt__")(0).cast<bool>();
    const py::object magnitude = negative ? v.attr("__neg__")() : py::object(v);
    const auto low = magnitude.attr("__and__")(py::int_(UINT64_MAX)).cast<uint64_t>();
    const auto high = magnitude.attr("__rshift__")(64).cast<uint64_t>();
    const auto m = static_cast<ExactInt>((static_cast<unsigned __int128>(high) << 64) | low);
    return negative ? -m : m;
}

}  // namespace vorlent::binding
