#pragma once
// Layout characters read from an XKB keymap (xkbcommon): the keymap of the X server (see
// XcbHotKeyBackend::keyboardLayout), one a compositor sent, or one compiled from layout names.

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/hotkeys/keyboard_layout.hpp"

struct xkb_keymap;

namespace platform {

class KeymapError : public std::runtime_error {
public:
    KeymapError() : std::runtime_error("The keyboard layout could not be compiled") {}
};

// The character of the key at `carbonKeyCode` in `keymap`. The layout (XKB group) used is
// `currentLayout` when it is ASCII-capable, else the first ASCII-capable layout of the keymap,
// else the US layout, so that a Cyrillic or Greek layout still shows the Latin letters that
// shortcuts are known by. Dead keys show their accent.
std::optional<std::string> xkbLayoutCharacter(xkb_keymap* keymap, std::uint32_t currentLayout,
                                              std::int64_t carbonKeyCode);

class XkbKeyboardLayout final : public KeyboardLayout {
public:
    // Compiles the keymap of the given layout names (e.g. "us", "fr", "us,ru") with the default
    // rules and model; `currentLayout` is the index of the active one. Throws KeymapError.
    static std::shared_ptr<XkbKeyboardLayout> fromNames(const std::string& layouts,
                                                        const std::string& variants = {},
                                                        std::uint32_t currentLayout = 0);
    // Compiles the keymap the session's XKB settings name: the XKB_DEFAULT_RULES, _MODEL,
    // _LAYOUT, _VARIANT and _OPTIONS environment where set, else the system's defaults. Throws
    // KeymapError.
    static std::shared_ptr<XkbKeyboardLayout> fromSessionSettings();
    // Compiles a keymap in the XKB text format (as a Wayland compositor sends it). Throws
    // KeymapError.
    static std::shared_ptr<XkbKeyboardLayout> fromKeymapText(const std::string& text);
    ~XkbKeyboardLayout() override;

    std::optional<std::string> character(std::int64_t carbonKeyCode) const override;

private:
    XkbKeyboardLayout(xkb_keymap* keymap, std::uint32_t currentLayout);
    xkb_keymap* keymap_;
    std::uint32_t currentLayout_;
};

}  // namespace platform
