#include "platform/defaults/xdg_folders.hpp"

#include <cstdlib>

namespace platform {

std::filesystem::path xdgFolder(const char* variable, const std::filesystem::path& fallbackUnderHome) {
    const char* value = std::getenv(variable);
    if (value && *value && std::filesystem::path(value).is_absolute()) return value;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / fallbackUnderHome;
}

}  // namespace platform
