#pragma once
#include <pybind11/pybind11.h>

#include "boosting/booster.hpp"

// Two ways to reach a method without a Booster, which this caster refuses: None as self
// (Booster.n_trees(None)), which a method bound from a member function would receive as a
// null `this`, and an instance made by Booster.__new__ alone, whose __init__ never ran and
// for which pybind11 would hand over freshly allocated, unconstructed memory.
namespace pybind11::detail {

template <>
class type_caster<vorlent::Booster> : public type_caster_base<vorlent::Booster> {
public:
    bool load(handle src, bool convert) {
        if (src.is_none()) return false;
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
