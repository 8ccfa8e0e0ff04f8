#pragma once
// How the input checks of training refuse, and how their messages print numbers.
#include <cstdio>
#include <stdexcept>
#include <string>

namespace vorlent {

[[noreturn]] inline void reject(const std::string& message) {
    throw std::invalid_argument(message);
}

// Every digit that tells the value apart from its neighbours.
inline std::string str(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

}  // namespace vorlent
