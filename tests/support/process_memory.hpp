#pragma once
// The memory this process holds, for tests that bound it.

#include <cstddef>

namespace support {

// The resident set size in bytes, from /proc/self/statm; 0 when it cannot be read.
std::size_t residentBytes();

// Whether this build runs under a sanitizer, whose shadow memory and quarantine of freed blocks
// make resident sizes say little about the program's own memory.
constexpr bool underSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

}  // namespace support
