// Debug builds configured with VORLENT_FAULT_INJECTION only; a release module compiles
// nothing from this file.
//
// With VRL_FAULT_AFTER=N (N >= 1) in the environment, the N-th entry into a parallel region
// throws std::bad_alloc, so that tests can drive an allocation failure through every
// failure path from Python and check that it arrives as MemoryError. Entries are counted
// from the last entry made while the variable was unset or not positive, and only the N-th
// one throws.
#ifdef VORLENT_FAULT_INJECTION

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "common/parallel.hpp"

namespace vorlent {
namespace {

std::atomic<int64_t> g_region_entries{0};

void fail_after_environment_count() {
    const char* value = std::getenv("VRL_FAULT_AFTER");
    const long long n = value != nullptr ? std::atoll(value) : 0;
    if (n <= 0) {
        g_region_entries.store(0);
        return;
    }
    if (g_region_entries.fetch_add(1) + 1 == n) throw std::bad_alloc();
}

// Installed when the module is loaded, before any call can enter a region.
[[maybe_unused]] const bool g_installed = [] {
    g_parallel_fault_hook = &fail_after_environment_count;
    return true;
}();

}  // namespace
}  // namespace vorlent

#endif
