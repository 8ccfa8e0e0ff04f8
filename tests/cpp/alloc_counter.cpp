#include "alloc_counter.hpp"

#include <cstdlib>
#include <new>

namespace vorlent::testing {
std::atomic<long> g_allocations{0};
std::atomic<bool> g_counting{false};
}  // namespace vorlent::testing

void* operator new(std::size_t size) {
    if (vorlent::testing::g_counting) ++vorlent::testing::g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
// The nothrow form (std::stable_partition's buffer) must pair with the delete above, or a
// sanitizer sees its own allocator's block freed by ours.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (vorlent::testing::g_counting) ++vorlent::testing::g_allocations;
    return std::malloc(size ? size : 1);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
