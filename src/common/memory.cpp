#include "common/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace vorlent {

namespace {

// A field of /proc/self/status in bytes, or -1.
double own_status_bytes(const char* field) {
    double bytes = -1.0;
    if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        unsigned long long kib = 0;
        const size_t length = std::strlen(field);
        while (std::fgets(line, sizeof line, f) != nullptr) {
            if (std::strncmp(line, field, length) == 0 &&
                std::sscanf(line + length, ": %llu kB", &kib) == 1) {
                bytes = static_cast<double>(kib) * 1024.0;
                break;
            }
        }
        std::fclose(f);
    }
    return bytes;
}

// The address space this process may still map under its limit (RLIMIT_AS), or -1 when
// it has none: allocations past it fail whatever the machine has free.
double address_space_left() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1.0;
    const double mapped = own_status_bytes("VmSize");
    if (mapped < 0) return -1.0;
    return std::max(0.0, static_cast<double>(limit.rlim_cur) - mapped);
}

double machine_memory() {
    if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr) {
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        }
        std::fclose(f);
        if (found) return static_cast<double>(kib) * 1024.0;
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return 0.0;
    return static_cast<double>(pages) * static_cast<double>(page_size);
}

}  // namespace

double available_memory() {
    const double machine = machine_memory();
    const double left = address_space_left();
    if (left < 0) return machine;
    // At least a byte, so that a process at its limit refuses rather than checks nothing.
    return std::max(1.0, machine > 0 ? std::min(machine, left) : left);
}

namespace {

// The refusal of a call that needs `bytes`, or an empty string when they fit.
std::string refusal(double bytes, const std::string& what) {
    const double memory = available_memory();
    if (!(memory > 0 && bytes > 0.5 * memory)) return {};
    std::ostringstream message;
    message << what << " need " << bytes << " bytes, more than half of the " << memory
            << " bytes of memory available";
    return message.str();
}

}  // namespace

void check_memory_need(double bytes, const std::string& what) {
    std::string message = refusal(bytes, what);
    if (!message.empty()) throw std::invalid_argument(message);
}

void check_memory_for_output(double bytes, const std::string& what) {
    std::string message = refusal(bytes, what);
    if (!message.empty()) throw MemoryShortage(std::move(message));
}

}  // namespace vorlent

namespace vorlent {

void MemoryNeed::add(double bytes, const char* what) {
    if (!(bytes > 0.0)) return;
    total_ += bytes;
    if (bytes > largest_) {
        largest_ = bytes;
        largest_what_ = what;
    }
}

void MemoryNeed::check(const std::string& call) const {
    const double memory = available_memory();
    if (!(memory > 0 && total_ > 0.5 * memory)) return;
    std::ostringstream what;
    what << call << " (most of it " << largest_what_ << ", " << largest_ << " bytes)";
    check_memory_need(total_, what.str());
}

}  // namespace vorlent
