#include "module/booster_call.hpp"

#include <pybind11/pybind11.h>

#include <stdexcept>

#include "module/gil.hpp"

namespace vorlent::binding {

BoosterCall::BoosterCall(const BoosterHolder& holder)
    : gate_(holder.gate()), threads_(holder.n_threads()) {
    switch (gate_.try_enter()) {
        case CallGate::Entry::kEntered:
            return;
        case CallGate::Entry::kBusyHere:
            throw std::runtime_error(
                "this Booster is busy: a call on it (fit, fit_more, ...) is running on this "
                "thread, and a signal handler or callback cannot use the Booster until that call "
                "returns");
        case CallGate::Entry::kBusyElsewhere: {
            // The thread inside may need the interpreter lock to finish (between rounds,
            // to build its result), so the wait must not hold it.
            py::gil_scoped_release released;
            gate_.enter_waiting(run_signal_handlers);
            return;
        }
    }
}

}  // namespace vorlent::binding
