#pragma once
// Keys shown by a symbol rather than by the character of the keyboard layout.

#include <cstdint>
#include <optional>
#include <string_view>

namespace GlobalShortcuts {

struct SpecialKey {
    std::int64_t keyCode;
    std::string_view displaySymbol;  // empty for Space, whose name is a text
    std::optional<std::string_view> menuKeyEquivalent;
};

// The special key with this code, or nullptr for keys that print a character.
const SpecialKey* specialKey(std::int64_t keyCode);

}  // namespace GlobalShortcuts
