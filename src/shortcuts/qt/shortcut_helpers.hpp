#pragma once
// Global shortcuts tied to the lifetime of Qt objects.
//
//     GlobalShortcuts::onGlobalKeyboardShortcut(window, startSession, [](EventType type) { ... });
//     auto* shortcut = GlobalShortcuts::globalKeyboardShortcut(window, startSession);
//     QObject::connect(shortcut, &QShortcut::activated, window, [] { ... });

#include <QShortcut>
#include <functional>
#include <memory>

#include "shortcuts/event_stream.hpp"
#include "shortcuts/name.hpp"

class QObject;
class QWidget;

namespace GlobalShortcuts {

class ShortcutLayer;

// Runs `action` for every press and release of the name's shortcut, anywhere on the desktop, until
// `owner` is destroyed (events of the time before are not delivered). The action runs on the
// layer's main executor, one event after the other. `layer` empty: the process-wide one.
void onGlobalKeyboardShortcut(QObject* owner, const Name& name, std::function<void(EventType)> action,
                              std::shared_ptr<ShortcutLayer> layer = {});
// The same for the events of one type only.
void onGlobalKeyboardShortcut(QObject* owner, const Name& name, EventType type, std::function<void()> action,
                              std::shared_ptr<ShortcutLayer> layer = {});
// Older names of the two.
inline void onKeyboardShortcut(QObject* owner, const Name& name, std::function<void(EventType)> action,
                               std::shared_ptr<ShortcutLayer> layer = {}) {
    onGlobalKeyboardShortcut(owner, name, std::move(action), std::move(layer));
}
inline void onKeyboardShortcut(QObject* owner, const Name& name, EventType type, std::function<void()> action,
                               std::shared_ptr<ShortcutLayer> layer = {}) {
    onGlobalKeyboardShortcut(owner, name, type, std::move(action), std::move(layer));
}

// An in-window shortcut of `parent` (a QShortcut it owns) whose key is the name's stored shortcut,
// following its changes; it has no key while a recorder records.
QShortcut* globalKeyboardShortcut(QWidget* parent, const Name& name, std::shared_ptr<ShortcutLayer> layer = {});

}  // namespace GlobalShortcuts
