#pragma once
// Counts heap allocations made while a CountAllocations object is alive (test only).
#include <atomic>
#include <cstddef>

namespace vorlent::testing {

extern std::atomic<long> g_allocations;
extern std::atomic<bool> g_counting;

struct CountAllocations {
    CountAllocations() {
        g_allocations = 0;
        g_counting = true;
    }
    ~CountAllocations() { g_counting = false; }
    long count() const { return g_allocations.load(); }
};

}  // namespace vorlent::testing
