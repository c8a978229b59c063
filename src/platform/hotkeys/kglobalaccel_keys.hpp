#pragma once
// KDE's global-shortcut service names a key combination by one integer, as its toolkit does: the
// key (the upper-case character the key types, or a named key such as F5 or Return) or'ed with
// modifier bits. A Carbon key code names a key position instead, so the character comes from the
// keyboard layout in use (the US layout where it has none), which is also what the service turns
// back into a key of the keyboard.

#include <cstdint>
#include <optional>

#include "platform/hotkeys/keyboard_layout.hpp"

namespace platform {

namespace KdeKey {
inline constexpr std::int32_t shift = 0x02000000;
inline constexpr std::int32_t control = 0x04000000;
inline constexpr std::int32_t alt = 0x08000000;
inline constexpr std::int32_t meta = 0x10000000;
inline constexpr std::int32_t keypad = 0x20000000;
inline constexpr std::int32_t modifierMask = shift | control | alt | meta | keypad;
}  // namespace KdeKey

struct CarbonCombination {
    std::uint32_t carbonKeyCode = 0;
    std::uint32_t carbonModifiers = 0;
    friend bool operator==(const CarbonCombination&, const CarbonCombination&) = default;
};

// The service's integer for the combination; none for the function modifier (the service has no
// such modifier) and for keys that type nothing the service can name. `layout` may be null.
std::optional<std::int32_t> kdeKeyOf(CarbonCombination combination, const KeyboardLayout* layout);

// The reverse: the key position and modifiers of the service's integer (0 and unknown keys: none).
std::optional<CarbonCombination> carbonCombinationOf(std::int32_t kdeKey, const KeyboardLayout* layout);

}  // namespace platform
