#pragma once
#include <pybind11/pybind11.h>

#include "boosting/booster.hpp"

// Booster.__new__(Booster) alone makes an instance whose __init__ never ran, and pybind11
// would hand a method called on it freshly allocated, unconstructed memory as its Booster.
// This caster refuses such an instance with a TypeError instead.
namespace pybind11::detail {

template <>
class type_caster<vorlent::Booster> : public type_caster_base<vorlent::Booster> {
public:
    bool load(handle src, bool convert) {
        if (isinstance<vorlent::Booster>(src)) {
            auto* inst = reinterpret_cast<instance*>(src.ptr());
            const value_and_holder v_h =
                inst->get_value_and_holder(get_type_info(typeid(vorlent::Booster)));
            if (!v_h.holder_constructed()) {
                throw type_error("Booster.__init__() has not been called on this object");
            }
        }
        return type_caster_base<vorlent::Booster>::load(src, convert);
    }
};

}  // namespace pybind11::detail
