#pragma once
// The characters that the user's keyboard layout prints on its keys, for display strings.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class KeyboardLayout {
public:
    virtual ~KeyboardLayout() = default;

    // The character (UTF-8, one code point) that the key at the position of `carbonKeyCode`
    // types without modifiers in the current ASCII-capable layout; none when the key is unknown
    // or types no single printable character.
    virtual std::optional<std::string> character(std::int64_t carbonKeyCode) const = 0;
};

}  // namespace platform
