#pragma once
// The per-booster lock of the binding. A call on a booster first enters the booster's
// gate and leaves it when the call returns. A second thread that arrives meanwhile waits
// its turn, so it never sees a half-trained or half-loaded model. The thread that is inside
// can come back only through Python code that runs during its own call (a signal handler
// or a callback between rounds, an array's conversion); waiting would then deadlock and
// going on would change the model under the running call, so the gate refuses that thread.
//
// Plain C++ without the interpreter: the binding decides what to do with the interpreter
// lock around a wait (it must release it, or the thread inside could never finish).
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace vorlent::binding {

class CallGate {
public:
    enum class Entry {
        kEntered,        // the calling thread is now inside
        kBusyHere,       // the calling thread is already inside: refuse the call
        kBusyElsewhere,  // another thread is inside: wait with enter_waiting
    };

    // Enters when nobody is inside; never blocks.
    Entry try_enter() {
        if (owner_.load(std::memory_order_acquire) == std::this_thread::get_id()) {
            return Entry::kBusyHere;
        }
        if (!mutex_.try_lock()) return Entry::kBusyElsewhere;
        owner_.store(std::this_thread::get_id(), std::memory_order_release);
        return Entry::kEntered;
    }

    // Waits until the gate is free and enters. `while_waiting` runs every `period` of the
    // wait; an exception from it abandons the wait without entering.
    template <class Hook>
    void enter_waiting(Hook&& while_waiting,
                       std::chrono::milliseconds period = std::chrono::milliseconds(100)) {
        while (!mutex_.try_lock_for(period)) while_waiting();
        owner_.store(std::this_thread::get_id(), std::memory_order_release);
    }

    // Only the thread inside may leave.
    void leave() {
        owner_.store(std::thread::id{}, std::memory_order_release);
        mutex_.unlock();
    }

private:
    std::timed_mutex mutex_;
    // The thread inside, or no thread. Only that thread writes its own id here, so a thread
    // reading its own id knows it is inside.
    std::atomic<std::thread::id> owner_{};
};

}  // namespace vorlent::binding
