#include "shortcuts/texts.hpp"

#include <array>
#include <utility>

namespace GlobalShortcuts {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 9> english{{
    {"record_shortcut", "Record Shortcut"},
    {"press_shortcut", "Press Shortcut"},
    {"keyboard_shortcut_used_by_menu_item",
     "This keyboard shortcut cannot be used as it\u2019s already used by the \u201C%1\u201D menu item."},
    {"keyboard_shortcut_disallowed",
     "This keyboard shortcut cannot be used: shortcuts with only Option, or only Option and "
     "Shift, are not allowed."},
    {"keyboard_shortcut_used_by_system",
     "This keyboard shortcut cannot be used as it\u2019s already a system-wide keyboard shortcut."},
    {"keyboard_shortcuts_can_be_changed",
     "Most system-wide keyboard shortcuts can be changed in the keyboard settings of your desktop."},
    {"ok", "OK"},
    {"force_use_shortcut", "Use Anyway"},
    {"space_key", "space"},
}};

}  // namespace

std::string_view localized(std::string_view key) {
    for (auto [name, text] : english) {
        if (name == key) return text;
    }
    return key;
}

std::string localized(std::string_view key, std::string_view argument) {
    std::string text(localized(key));
    if (auto at = text.find("%1"); at != std::string::npos) text.replace(at, 2, argument);
    return text;
}

}  // namespace GlobalShortcuts
