#pragma once
#include <string>

namespace vorlent {

// Bytes of memory this machine can hand out now without swapping (MemAvailable in
// /proc/meminfo, or the physical memory where that cannot be read); 0 when unknown.
double available_memory();

// Throws std::invalid_argument with `what` followed by the numbers when a call would need
// more than half of the available memory. Zero-filling such a block would page the
// machine to death or get the process killed; refusing it up front fails cleanly instead.
void check_memory_need(double bytes, const std::string& what);

}  // namespace vorlent
