#include "tree/tree_params.hpp"

#include <cstdlib>

namespace vorlent {
namespace {

bool flag_set(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] == '1';
}

}  // namespace

SearchEnvironment SearchEnvironment::read() {
    SearchEnvironment env;
    env.axis_only = flag_set("VRL_AXIS");
    env.full = flag_set("VRL_FULL");
    const char* k = std::getenv("VRL_K");
    env.keep_top = k != nullptr ? std::atoi(k) : 0;
    const char* dump = std::getenv("VRL_DUMP");
    if (dump != nullptr) env.dump_path = dump;
    return env;
}

}  // namespace vorlent
