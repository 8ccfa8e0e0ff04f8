#include <cstdint>
#include <string>
#include <string_view>

#include "io/model_bytes.hpp"
#include "module/arrays.hpp"
#include "module/docs.hpp"
#include "module/gil.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

py::bytes as_bytes(const std::string& data) {
    // py::bytes(std::string) reports a failed allocation as RuntimeError; this keeps
    // Python's MemoryError.
    PyObject* out = PyBytes_FromStringAndSize(data.data(), static_cast<py::ssize_t>(data.size()));
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(out);
}

void def_persistence(BoosterClass& cls) {
    cls.def(
           "serialize",
           [](const Booster& b) {
               const std::string data = without_gil([&] { return serialize_model(b.model); });
               return as_bytes(data);
           },
           docs::kSerialize)
        // No keyword name: the bytes are passed by position only.
        .def(
            "deserialize",
            [](Booster& b, const py::bytes& data) {
                const std::string_view view = data;
                without_gil([&] {
                    b.load_model(reinterpret_cast<const uint8_t*>(view.data()), view.size());
                });
            },
            docs::kDeserialize);
}

}  // namespace vorlent::binding
