#include "support/process_memory.hpp"

#include <unistd.h>

#include <fstream>

namespace support {

std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t total = 0, resident = 0;
    if (!(statm >> total >> resident)) return 0;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace support
