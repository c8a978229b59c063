#pragma once
// Carbon virtual key codes name physical key positions (the layout-independent place of a key on
// an ANSI keyboard). X11 names the same positions with XKB key names ("AD10" is the key that a US
// layout labels P), so a key code is mapped to its XKB name and resolved through the keymap of
// the server; no keysym of the current layout is involved.

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// The XKB key name of the key at the position of `carbonKeyCode`; none for codes without a
// counterpart on a PC keyboard (the fn key among them) and for codes out of range.
std::optional<std::string_view> xkbKeyName(std::int64_t carbonKeyCode);

// The reverse: the Carbon key code of the key named `xkbName`.
std::optional<std::int64_t> carbonKeyCodeForXkbName(std::string_view xkbName);

}  // namespace platform
