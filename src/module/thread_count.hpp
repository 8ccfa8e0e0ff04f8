#pragma once
// The thread count of one call. OpenMP keeps the team size of the next parallel region per
// thread (the nthreads ICV of the thread's task), so setting it on the calling thread for
// the length of a call sizes that call's regions and leaves other Python threads, other
// boosters and OMP_NUM_THREADS alone.
#include <omp.h>

#include <cstdint>

namespace vorlent::binding {

// The largest thread count a booster accepts: beyond it OpenMP may fail to create the
// threads, which ends the process.
inline constexpr int32_t kMaxThreads = 1024;

class ThreadCountScope {
public:
    // n >= 1: the calling thread's regions use n threads until the scope ends; 0: unchanged.
    explicit ThreadCountScope(int32_t n) : previous_(n >= 1 ? omp_get_max_threads() : 0) {
        if (n >= 1) omp_set_num_threads(n);
    }
    ~ThreadCountScope() {
        if (previous_ >= 1) omp_set_num_threads(previous_);
    }
    ThreadCountScope(const ThreadCountScope&) = delete;
    ThreadCountScope& operator=(const ThreadCountScope&) = delete;

private:
    int previous_;  // the count to restore; 0 when nothing was changed
};

}  // namespace vorlent::binding
