#pragma once
#include <omp.h>

#include <cstdint>
#include <exception>
#include <mutex>
#include <utility>

#include "common/stop_poll.hpp"

namespace vorlent {

// Keeps the first exception thrown inside a parallel region so that it can be
// rethrown on the calling thread after the region: an exception must never
// leave an OpenMP region (that would terminate the process). An exception also
// abandons the computation that `stop` polls, so that the other threads return
// at their next poll instead of finishing work whose result is lost.
class ExceptionCapture {
public:
    explicit ExceptionCapture(StopPoll* stop = nullptr) : stop_(stop) {}

    template <class F>
    void run(F&& f) noexcept {
        try {
            f();
        } catch (...) {
            if (stop_ != nullptr) stop_->abandon();
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) error_ = std::current_exception();
        }
    }
    // Ends a thread's share of the region's work: the calling thread (the team's thread 0)
    // keeps the check running until the others have ended theirs, so that a stop is seen
    // however unevenly the threads progress.
    void end_share() {
        if (stop_ == nullptr) return;
        if (omp_get_thread_num() == 0) {
            run([&] { stop_->wait_for_others(omp_get_num_threads() - 1); });
        } else {
            stop_->finished();
        }
    }
    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    StopPoll* stop_;
    std::mutex mutex_;
    std::exception_ptr error_;
};

// Hook for tests: when set, every parallel helper throws inside its region.
// Always null in normal use.
extern void (*g_parallel_fault_hook)();

// Runs body(begin, end) on contiguous blocks of [0, n): with T threads, thread t takes
// rows n*t/T .. n*(t+1)/T (a static schedule). With parallel false the calling thread
// takes the whole range. Results never depend on the thread count as long as each
// index writes only its own outputs.
//
// A body that can be stopped polls stop.stopped() between blocks of its rows and returns
// when it is true; stop is made on the calling thread. An exception from the check or
// from any thread's body abandons the computation and is rethrown after the region.
template <class Body>
void parallel_blocks(int64_t n, bool parallel, StopPoll& stop, Body&& body) {
    if (n <= 0) return;
    if (!parallel || omp_get_max_threads() == 1) {
        if (g_parallel_fault_hook) g_parallel_fault_hook();
        body(int64_t{0}, n);
        return;
    }
    ExceptionCapture capture(&stop);
#pragma omp parallel
    {
        const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
        const uint64_t threads = static_cast<uint64_t>(omp_get_num_threads());
        const auto begin = static_cast<int64_t>(static_cast<uint64_t>(n) * t / threads);
        const auto end = static_cast<int64_t>(static_cast<uint64_t>(n) * (t + 1) / threads);
        capture.run([&] {
            if (g_parallel_fault_hook) g_parallel_fault_hook();
            if (begin < end) body(begin, end);
        });
        capture.end_share();
    }
    capture.rethrow();
}

// parallel_blocks for a body that is never stopped.
template <class Body>
void parallel_blocks(int64_t n, bool parallel, Body&& body) {
    StopPoll never;
    parallel_blocks(n, parallel, never, std::forward<Body>(body));
}

// Runs body(first, step) once on every thread of a team of T: thread t takes the indices
// t, t + T, t + 2T, ... of [0, n), so that work whose cost drifts along the range is
// shared evenly. With parallel false the calling thread takes them all: body(0, 1).
// Results never depend on the thread count as long as each index writes only its own
// outputs.
template <class Body>
void parallel_interleaved(int64_t n, bool parallel, Body&& body) {
    if (n <= 0) return;
    if (!parallel || omp_get_max_threads() == 1) {
        if (g_parallel_fault_hook) g_parallel_fault_hook();
        body(int64_t{0}, int64_t{1});
        return;
    }
    ExceptionCapture capture;
#pragma omp parallel
    {
        const int64_t t = omp_get_thread_num();
        const int64_t threads = omp_get_num_threads();
        capture.run([&] {
            if (g_parallel_fault_hook) g_parallel_fault_hook();
            if (t < n) body(t, threads);
        });
    }
    capture.rethrow();
}

// Runs body(i) for every i in [0, n), one index at a time, on a static schedule.
template <class Body>
void parallel_for(int64_t n, bool parallel, Body&& body) {
    parallel_blocks(n, parallel, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) body(i);
    });
}

// Runs body(i) for every i in [0, n) on a dynamic schedule with the given chunk. stop,
// made on the calling thread, is polled before every index; an exception from the check
// or from any index abandons the indices not yet begun and is rethrown after the region.
template <class Body>
void parallel_for_dynamic(int64_t n, int chunk, bool parallel, StopPoll& stop, Body&& body) {
    if (n <= 0) return;
    ExceptionCapture capture(&stop);
#pragma omp parallel if (parallel)
    {
#pragma omp for schedule(dynamic, chunk) nowait
        for (int64_t i = 0; i < n; ++i) {
            capture.run([&] {
                if (stop.stopped()) return;
                if (g_parallel_fault_hook) g_parallel_fault_hook();
                body(i);
            });
        }
        capture.end_share();
    }
    capture.rethrow();
}

// parallel_for_dynamic for work that is never stopped.
template <class Body>
void parallel_for_dynamic(int64_t n, int chunk, bool parallel, Body&& body) {
    StopPoll never;
    parallel_for_dynamic(n, chunk, parallel, never, std::forward<Body>(body));
}

}  // namespace vorlent
