#pragma once
// Abandoning a long computation from outside, as Ctrl-C does: the caller hands the core a
// check that throws when the computation should stop, and the kernels poll it between
// blocks of rows. The check may be costly (the binding's takes the interpreter lock), so
// it runs only on the thread that called into the core and at most once per period.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vorlent {

// Throws to stop the computation that polls it. An empty check never stops anything.
using StopCheck = std::function<void()>;

// The least time between two runs of a check: a few milliseconds, so that a stop is seen
// at once while a check that takes a lock costs nothing measurable. Tests shorten it to
// zero to run the check at every poll; in normal use it never changes.
extern std::chrono::steady_clock::duration g_stop_period;

// One computation's view of its check, shared by the threads that work on it. The thread
// that makes the poll owns it: only that thread runs the check, the others learn from
// stopped() that the computation was abandoned.
class StopPoll {
public:
    StopPoll() = default;  // never stops
    explicit StopPoll(const StopCheck& check);
    StopPoll(const StopPoll&) = delete;
    StopPoll& operator=(const StopPoll&) = delete;

    // On the owner, runs the check when a period has passed since the poll was made or
    // the check last ran; its exception propagates. Does nothing on other threads.
    void poll() {
        if (check_ != nullptr && std::this_thread::get_id() == owner_) run_if_due();
    }
    // Between two blocks of rows, on any thread of the computation: true once the
    // computation is abandoned, and the caller returns without its remaining rows; until
    // then poll().
    bool stopped() {
        if (!abandoned_.load(std::memory_order_relaxed)) poll();
        return abandoned_.load(std::memory_order_relaxed);
    }

    // For the parallel helpers: marks the computation abandoned when a thread's work threw.
    void abandon() { abandoned_.store(true, std::memory_order_relaxed); }
    // For the parallel helpers: a thread other than the owner has finished its rows.
    void finished();
    // For the parallel helpers: on the owner, once its own rows are done, waits until
    // `others` threads have called finished() (or the computation is abandoned), running
    // the check whenever it is due, so that a stop is seen however long the other threads
    // take. Once per parallel region.
    void wait_for_others(int others);

private:
    void run_if_due();

    const StopCheck* check_ = nullptr;  // null when the check is empty
    std::thread::id owner_;
    std::chrono::steady_clock::time_point due_;  // when the check runs next; the owner's
    std::atomic<bool> abandoned_{false};
    std::mutex mutex_;  // guards finished_
    std::condition_variable all_finished_;
    int finished_ = 0;  // threads other than the owner that have finished their rows
};

}  // namespace vorlent
