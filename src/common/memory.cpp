#include "common/memory.hpp"

#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace vorlent {

double available_memory() {
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

void check_memory_need(double bytes, const std::string& what) {
    const double memory = available_memory();
    if (memory > 0 && bytes > 0.5 * memory) {
        std::ostringstream message;
        message << what << " need " << bytes << " bytes, more than half of the " << memory
                << " bytes of memory available";
        throw std::invalid_argument(message.str());
    }
}

}  // namespace vorlent
