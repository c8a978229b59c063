#pragma once
// Between the layer's shortcuts and Qt: key sequences for actions and in-window shortcuts, key
// events of the application's windows as the layer's key events, and the application's menus as
// the recorder's clash check sees them.

#include <QKeySequence>
#include <QList>
#include <optional>
#include <vector>

#include "shortcuts/modifiers.hpp"
#include "shortcuts/recorder_control.hpp"
#include "shortcuts/shortcut.hpp"

class QAction;
class QKeyEvent;

namespace platform {
class HotKeyBackend;
class KeyboardLayout;
}  // namespace platform

namespace GlobalShortcuts {

// Control, Option, Shift and Command as Qt's Control, Alt, Shift and Meta; the function modifier
// has no Qt counterpart and is left out.
Qt::KeyboardModifiers qtModifiers(ModifierFlags flags);
ModifierFlags modifierFlags(Qt::KeyboardModifiers modifiers);

// The sequence Qt matches for the shortcut: the key the layout prints (upper case, as Qt names
// letters) or the special key's Qt key, with its modifiers. Empty for keys that have none (the
// keypad keys, keys the layout gives no character).
QKeySequence keySequence(const Shortcut& shortcut, const platform::KeyboardLayout* layout);

// A key press or release of one of the application's windows, its key code taken from the native
// scan code and its modifiers from the native state, by the hot-key backend's mapping (so that it
// agrees with the grabs on every layout). None for other events and keys the mapping lacks.
std::optional<KeyEvent> keyEvent(const QKeyEvent& event, const platform::HotKeyBackend& backend);

// The key equivalent and mask a menu item with this Qt shortcut has.
MenuItem menuItem(const QString& title, const QKeySequence& shortcut);
// Actions (separators left out) with their submenus.
std::vector<MenuItem> menuItems(const QList<QAction*>& actions);
// Every menu of the application: the menu bars of its windows and its menus without a parent
// (the tray menu among them).
std::vector<MenuItem> applicationMenus();

}  // namespace GlobalShortcuts
