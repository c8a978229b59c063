#pragma once
// A key combination: a Carbon key code and Carbon modifier bits. Stored as the JSON text
// {"carbonKeyCode":35,"carbonModifiers":4096} (that one is Control-P).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "shortcuts/key.hpp"
#include "shortcuts/modifiers.hpp"

namespace platform {
class KeyboardLayout;
}

namespace GlobalShortcuts {

struct Shortcut {
    std::int64_t carbonKeyCode = 0;
    std::int64_t carbonModifiers = 0;

    // The key and the Carbon form of the flags (only control, option, shift, command and function
    // are kept).
    Shortcut(Key key, ModifierFlags modifiers = {});
    // The key code as given and the modifiers masked to the five Carbon bits.
    Shortcut(std::int64_t carbonKeyCode, std::int64_t carbonModifiers);

    // The shortcut of a key-down or key-up event (none for other events). The function flag is
    // left out: arrow and function keys report it by themselves.
    static std::optional<Shortcut> fromEvent(const KeyEvent& event);

    // The stored JSON form. Decoding takes both members as integers, in either order, and keeps
    // the modifiers as they are; anything else gives none.
    std::string toJson() const;
    static std::optional<Shortcut> fromJson(std::string_view json);

    Key key() const { return Key(carbonKeyCode); }
    ModifierFlags modifiers() const { return cocoaModifiersFromCarbon(carbonModifiers); }

    // What people see, e.g. "⌃P": the modifier symbols (⌃ ⌥ ⇧ ⌘ and the globe for function, in
    // that order) and then the key's symbol or, for other keys, its character in `layout`
    // capitalised (U+FFFD when the layout has none).
    std::string description(const platform::KeyboardLayout* layout) const;
    // The same with the keyboard layout of the installed process-wide layer.
    std::string description() const;

    // The key equivalent a menu item takes: the special key's equivalent or the layout's
    // character, not capitalised; none when there is none.
    std::optional<std::string> menuItemKeyEquivalent(const platform::KeyboardLayout* layout) const;

    friend bool operator==(const Shortcut&, const Shortcut&) = default;
};

// The symbols of the modifiers present, in the order control, option, shift, command, function.
std::string modifierSymbols(ModifierFlags flags);

// The character the layout prints on the key; none for special keys, for key codes outside 0 to
// 65535 and when the layout has no single character for the key.
std::optional<std::string> layoutCharacter(const platform::KeyboardLayout* layout, std::int64_t keyCode);

}  // namespace GlobalShortcuts

template <>
struct std::hash<GlobalShortcuts::Shortcut> {
    std::size_t operator()(const GlobalShortcuts::Shortcut& shortcut) const noexcept {
        std::size_t seed = std::hash<std::int64_t>{}(shortcut.carbonKeyCode);
        return seed ^ (std::hash<std::int64_t>{}(shortcut.carbonModifiers) + 0x9e3779b97f4a7c15ULL +
                       (seed << 6) + (seed >> 2));
    }
};
