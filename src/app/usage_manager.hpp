#pragma once
// The used and total call counts the menu shows; -1 means not yet known. Confined to the main
// executor.

#include <cstdint>
#include <string>

#include "platform/runtime/tracked.hpp"

namespace kestro {

class UsageManager {
public:
    platform::Tracked<std::int64_t> usedCalls{-1};
    platform::Tracked<std::int64_t> totalCalls{-1};
};

// "3/10", or "?" while either count is unknown (-1).
std::string usageText(std::int64_t used, std::int64_t total);

}  // namespace kestro
