#pragma once
// The interpreter lock around native work. Calls release it while the core computes, so
// that other Python threads run meanwhile, and take it back only to build Python objects
// and to run pending signal handlers.
#include <pybind11/pybind11.h>

#include <optional>
#include <utility>

#include "common/stop_poll.hpp"

namespace vorlent::binding {

namespace py = pybind11;

// Runs f() with the interpreter lock released. f must not touch Python objects; the
// arrays it reads stay alive because the caller's arguments hold them.
template <class F>
decltype(auto) without_gil(F&& f) {
    py::gil_scoped_release released;
    return std::forward<F>(f)();
}

// From a thread without the interpreter lock: takes it, runs the pending signal handlers
// (they run only on the main thread) and throws their exception, KeyboardInterrupt for
// Ctrl-C, to stop the caller.
inline void run_signal_handlers() {
    py::gil_scoped_acquire held;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// True on the interpreter's main thread, the one thread that runs signal handlers.
// Needs the interpreter lock.
inline bool on_main_thread() {
    const py::object main = py::module_::import("threading").attr("main_thread")();
    return main.attr("ident").cast<unsigned long>() == PyThread_get_thread_ident();
}

// The check with which long calls see Ctrl-C, between training rounds or blocks of rows:
// run_signal_handlers, but only on the main thread, the one thread whose pending signals
// can be handled. Which thread it runs on is learnt at its first run, so that a call
// which ends before its first poll never touches the interpreter, and a call on another
// thread waits for the interpreter lock that once only.
inline StopCheck signal_check() {
    return [main = std::optional<bool>{}]() mutable {
        if (main == false) return;
        const py::gil_scoped_acquire held;
        if (!main) main = on_main_thread();
        if (*main) run_signal_handlers();
    };
}

// Runs f(stop) with the interpreter lock released, stop being the signal_check that the
// core polls to see Ctrl-C.
template <class F>
decltype(auto) interruptible(F&& f) {
    const StopCheck stop = signal_check();
    return without_gil([&]() -> decltype(auto) { return std::forward<F>(f)(stop); });
}

}  // namespace vorlent::binding
