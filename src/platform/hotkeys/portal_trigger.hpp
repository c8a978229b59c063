#pragma once
// Combinations written the way the desktop portal's global shortcuts take a preferred trigger:
// modifiers CTRL, ALT, SHIFT and LOGO, then the XKB keysym name of the key, joined by "+"
// ("CTRL+p", "CTRL+SHIFT+F5"). The key is the one at the combination's position on a US layout,
// the layout Carbon key codes are named after.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// None for combinations the syntax cannot say (the function modifier, a position without a key
// on a PC keyboard) or when no keymap can be compiled.
std::optional<std::string> portalTrigger(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers);

}  // namespace platform
