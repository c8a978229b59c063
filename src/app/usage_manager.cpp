#include "app/usage_manager.hpp"

namespace kestro {

std::string usageText(std::int64_t used, std::int64_t total) {
    if (used == -1 || total == -1) return "?";
    return std::to_string(used) + "/" + std::to_string(total);
}

}  // namespace kestro
