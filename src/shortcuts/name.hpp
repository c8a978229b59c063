#pragma once
// The name of one global shortcut slot ("startSession"), with the shortcut it starts with.
// Names compare and hash by their text alone.

#include <functional>
#include <optional>
#include <string>

#include "shortcuts/shortcut.hpp"

namespace GlobalShortcuts {

class ShortcutLayer;

class Name {
public:
    // With the process-wide layer installed, creating a name stores its default when nothing at
    // all is stored under it yet (registering the hot key and announcing the change) and has the
    // layer follow menu tracking. Without one it is a plain value.
    Name(std::string rawValue, std::optional<Shortcut> defaultShortcut = std::nullopt);

    std::string rawValue;
    std::optional<Shortcut> defaultShortcut;

    // The stored shortcut, read and written through the process-wide layer.
    std::optional<Shortcut> shortcut() const;
    void setShortcut(std::optional<Shortcut> shortcut) const;

    friend bool operator==(const Name& a, const Name& b) { return a.rawValue == b.rawValue; }

private:
    friend class ShortcutLayer;
    struct Plain {};
    Name(Plain, std::string rawValue, std::optional<Shortcut> defaultShortcut)
        : rawValue(std::move(rawValue)), defaultShortcut(defaultShortcut) {}
};

}  // namespace GlobalShortcuts

template <>
struct std::hash<GlobalShortcuts::Name> {
    std::size_t operator()(const GlobalShortcuts::Name& name) const noexcept {
        return std::hash<std::string>{}(name.rawValue);
    }
};
