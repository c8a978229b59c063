#pragma once
// A global shortcut shown on a QAction (in a menu, say): one shortcut as it is, or the shortcut
// stored for a name, followed as it changes.
//
//     GlobalShortcuts::setShortcutFor(startAction, startSession);

#include <memory>
#include <optional>

#include "shortcuts/name.hpp"
#include "shortcuts/shortcut.hpp"

class QAction;

namespace platform {
class KeyboardLayout;
}

namespace GlobalShortcuts {

class ShortcutLayer;

// The action's shortcut becomes the key sequence of `shortcut` (keySequence in qt_keys.hpp), or
// none. A shortcut whose key Qt cannot name leaves the action without one.
void setShortcut(QAction* action, const std::optional<Shortcut>& shortcut, const platform::KeyboardLayout* layout);

// Binds the action to the name: it shows the name's stored shortcut now and after every change,
// until it is bound to another name or to none (which takes its shortcut away). The binding lives
// with the action and does not keep it alive. `layer` empty: the process-wide one.
void setShortcutFor(QAction* action, const std::optional<Name>& name, std::shared_ptr<ShortcutLayer> layer = {});

}  // namespace GlobalShortcuts
