#pragma once
// What every kernel of a node search reads: the node rows' gradients and their sums.
#include <cstddef>
#include <cstdint>

namespace vorlent {

// The gradients of one node: one entry per node row, in row-list order, and their sums.
struct NodeGradients {
    const double* grad = nullptr;
    const double* hess = nullptr;
    int32_t n = 0;
    double G = 0.0;
    double H = 0.0;
};

// Rows ahead at which scattered row reads are prefetched.
inline constexpr int32_t kPrefetchDistance = 16;

// Asks for every cache line of bytes [p, p + size) ahead of its use.
inline void prefetch_span(const void* p, size_t size) {
    const char* c = static_cast<const char*>(p);
    for (size_t off = 0; off < size; off += 64) __builtin_prefetch(c + off);
    __builtin_prefetch(c + size - 1);
}

}  // namespace vorlent
