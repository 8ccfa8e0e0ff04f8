#pragma once
// What a Python Booster object owns besides the core booster: the gate that every call on
// it passes (module/call_gate.hpp) and the thread count of its calls. They live in the
// pybind11 holder, so the core Booster knows nothing of threads or of Python.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>

#include "boosting/booster.hpp"
#include "module/call_gate.hpp"

namespace vorlent::binding {

template <class T>
class GatedHolder {
public:
    GatedHolder() = default;
    // Takes ownership of value. n_threads: 0 for OpenMP's default, n >= 1 for n threads.
    explicit GatedHolder(T* value, int32_t n_threads = 0)
        : value_(value), gate_(std::make_unique<CallGate>()), n_threads_(n_threads) {}

    T* get() const { return value_.get(); }
    CallGate& gate() const { return *gate_; }
    int32_t n_threads() const { return n_threads_; }

private:
    std::unique_ptr<T> value_;
    std::unique_ptr<CallGate> gate_;  // a pointer, so that the holder can move
    int32_t n_threads_ = 0;
};

using BoosterHolder = GatedHolder<Booster>;

}  // namespace vorlent::binding

PYBIND11_DECLARE_HOLDER_TYPE(T, vorlent::binding::GatedHolder<T>)
