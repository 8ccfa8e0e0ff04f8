#pragma once
#include <pybind11/pybind11.h>

#include <memory>

#include "boosting/booster.hpp"
#include "module/booster_call.hpp"
#include "module/booster_holder.hpp"

// Every method and function that takes a Booster loads it through this caster, which makes
// it the one place where calls on a booster are entered: loading the Booster argument
// enters the booster's call (module/booster_call.hpp), and the caster, which pybind11
// keeps until the call has returned and its result is built, leaves it. Methods added
// later are covered without doing anything.
//
// Two ways to reach a method without a Booster, which this caster refuses: None as self
// (Booster.n_trees(None)), which a method bound from a member function would receive as a
// null `this`, and an instance made by Booster.__new__ alone, whose __init__ never ran and
// for which pybind11 would hand over freshly allocated, unconstructed memory.
namespace pybind11::detail {

template <>
class type_caster<vorlent::Booster> : public type_caster_base<vorlent::Booster> {
public:
    bool load(handle src, bool convert) {
        if (src.is_none() || !isinstance<vorlent::Booster>(src)) return false;
        auto* inst = reinterpret_cast<instance*>(src.ptr());
        const value_and_holder v_h =
            inst->get_value_and_holder(get_type_info(typeid(vorlent::Booster)));
        if (!v_h.holder_constructed()) {
            throw type_error("Booster.__init__() has not been called on this object");
        }
        if (!type_caster_base<vorlent::Booster>::load(src, convert)) return false;
        call_ = std::make_unique<vorlent::binding::BoosterCall>(
            v_h.holder<vorlent::binding::BoosterHolder>());
        return true;
    }

private:
    std::unique_ptr<vorlent::binding::BoosterCall> call_;
};

}  // namespace pybind11::detail
