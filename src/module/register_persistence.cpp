#include <cstdint>
#include <string>
#include <string_view>

#include "io/model_bytes.hpp"
#include "module/arrays.hpp"
#include "module/register.hpp"

namespace vorlent::binding {

void def_persistence(BoosterClass& cls) {
    cls.def("serialize", [](const Booster& b) { return py::bytes(serialize_model(b)); })
        // No keyword name: the bytes are passed by position only.
        .def("deserialize", [](Booster& b, const py::bytes& data) {
            const std::string_view view = data;
            deserialize_model(b, reinterpret_cast<const uint8_t*>(view.data()), view.size());
        });
}

}  // namespace vorlent::binding
