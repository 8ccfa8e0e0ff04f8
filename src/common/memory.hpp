#pragma once
#include <string>

namespace vorlent {

// Bytes of memory this machine can hand out now without swapping (MemAvailable in
// /proc/meminfo, or the physical memory where that cannot be read), or less when the
// process's address-space limit leaves less room; 0 when unknown.
double available_memory();

// Throws std::invalid_argument with `what` followed by the numbers when a call would need
// more than half of the available memory. Zero-filling such a block would page the
// machine to death or get the process killed; refusing it up front fails cleanly instead.
void check_memory_need(double bytes, const std::string& what);

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
