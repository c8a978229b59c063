#pragma once
// The texts the layer shows to users, compiled in (English).

#include <string>
#include <string_view>

namespace GlobalShortcuts {

// The text for `key`: "record_shortcut", "press_shortcut", "keyboard_shortcut_used_by_menu_item"
// (contains %1 for the menu item's title), "keyboard_shortcut_disallowed",
// "keyboard_shortcut_used_by_system", "keyboard_shortcuts_can_be_changed", "ok",
// "force_use_shortcut", "space_key". An unknown key gives the key itself.
std::string_view localized(std::string_view key);

// localized(key) with its %1 replaced by `argument`.
std::string localized(std::string_view key, std::string_view argument);

}  // namespace GlobalShortcuts
