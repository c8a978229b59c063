#pragma once
// The keyboard layout of a session without an X server to ask (a Wayland desktop that runs no
// XWayland): the keymap the compositor hands its clients, else the keymap of the session's XKB
// settings (the XKB_DEFAULT_* environment, else the system's defaults), as xkbcommon builds it.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/hotkeys/keyboard_layout.hpp"

namespace platform {

// The longest keymap text taken from a compositor (a full one is some 60 kB).
inline constexpr std::size_t maxKeymapSize = 1 << 20;

// The text of the keymap the compositor at $WAYLAND_DISPLAY gives its first seat's keyboard;
// none without such a compositor, a keyboard or an answer within `patience`. Never takes a
// socket handed down in $WAYLAND_SOCKET (it belongs to the toolkit).
std::optional<std::string> compositorKeymap(std::chrono::milliseconds patience = std::chrono::milliseconds(500));

// Read afresh: the compositor's keymap, else the session's XKB settings; null when neither
// compiles (no layout at all).
std::shared_ptr<KeyboardLayout> readSessionKeyboardLayout();

// readSessionKeyboardLayout() of the first call, kept for the process.
const KeyboardLayout* sessionKeyboardLayout();

}  // namespace platform
