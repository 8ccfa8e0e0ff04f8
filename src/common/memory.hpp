#pragma once
#include <new>
#include <string>
#include <utility>

namespace vorlent {

// Bytes of memory this machine can hand out now without swapping (MemAvailable in
// /proc/meminfo, or the physical memory where that cannot be read), or less when the
// process's address-space limit leaves less room; 0 when unknown.
double available_memory();

// Throws std::invalid_argument with `what` followed by the numbers when a call would need
// more than half of the available memory. Zero-filling such a block would page the
// machine to death or get the process killed; refusing it up front fails cleanly instead.
void check_memory_need(double bytes, const std::string& what);

// The same check for a call whose only input is the model itself (serialize): nothing the
// caller passed is wrong, so it throws MemoryShortage (MemoryError in Python) instead.
void check_memory_for_output(double bytes, const std::string& what);

// std::bad_alloc that carries the numbers of the refusal.
class MemoryShortage : public std::bad_alloc {
public:
    explicit MemoryShortage(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// The large allocations of one call, added up before any of them is made, so the call is
// refused as a whole when together they would not fit. The refusal names the largest part.
class MemoryNeed {
public:
    // Adds `bytes` (any size, in double precision so that no product overflows).
    void add(double bytes, const char* what);
    double total() const { return total_; }
    // check_memory_need on the total, naming `call` and the largest part.
    void check(const std::string& call) const;

private:
    double total_ = 0.0;
    double largest_ = 0.0;
    const char* largest_what_ = "";
};

}  // namespace vorlent
