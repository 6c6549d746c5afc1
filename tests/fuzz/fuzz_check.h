#pragma once

// A property every fuzz target asserts whatever the build: a failed one aborts, which the
// fuzzer reports with the input.

#include <cstdlib>

namespace merriphonic::fuzz {

inline void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace merriphonic::fuzz
