#pragma once
#include <memory>

#include "module/booster_holder.hpp"
#include "module/thread_count.hpp"

namespace vorlent::binding {

// One call on a booster, held from the loading of the Booster argument until the call has
// returned: the call is inside the booster's gate and its parallel regions use the
// booster's thread count. Entering raises RuntimeError when the calling thread is already
// inside (a signal handler or callback during that thread's own call), and otherwise waits
// for another thread's call to end, with the interpreter lock released and Ctrl-C seen.
class BoosterCall {
public:
    explicit BoosterCall(const BoosterHolder& holder);
    ~BoosterCall() { gate_.leave(); }
    BoosterCall(const BoosterCall&) = delete;
    BoosterCall& operator=(const BoosterCall&) = delete;

private:
    CallGate& gate_;
    ThreadCountScope threads_;
};

}  // namespace vorlent::binding
