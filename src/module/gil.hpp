#pragma once
// The interpreter lock around native work. Calls release it while the core computes, so
// that other Python threads run meanwhile, and take it back only to build Python objects
// and to run pending signal handlers.
#include <pybind11/pybind11.h>

#include <utility>

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

}  // namespace vorlent::binding
