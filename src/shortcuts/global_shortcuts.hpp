#pragma once
// The operations of the process-wide global-shortcut layer (see ShortcutLayer::install). Called
// on the main executor. Without an installed layer they do nothing (reads give none or false).
//
//     GlobalShortcuts::Name startSession("startSession", Shortcut(Key::p, {Modifier::control}));
//     GlobalShortcuts::onKeyDown(startSession, [] { ... });

#include <concepts>
#include <optional>
#include <vector>

#include "shortcuts/event_stream.hpp"
#include "shortcuts/key.hpp"
#include "shortcuts/modifiers.hpp"
#include "shortcuts/name.hpp"
#include "shortcuts/shortcut.hpp"
#include "shortcuts/shortcut_layer.hpp"
#include "shortcuts/texts.hpp"

namespace GlobalShortcuts {

void onKeyDown(const Name& name, ShortcutLayer::Action action);
void onKeyUp(const Name& name, ShortcutLayer::Action action);
EventStream events(const Name& name);
EventStream events(EventType type, const Name& name);

bool isEnabled();
void setEnabled(bool enabled);

void disable(const std::vector<Name>& names);
void enable(const std::vector<Name>& names);
void reset(const std::vector<Name>& names);
template <std::convertible_to<Name>... Names>
void disable(const Names&... names) { disable(std::vector<Name>{names...}); }
template <std::convertible_to<Name>... Names>
void enable(const Names&... names) { enable(std::vector<Name>{names...}); }
template <std::convertible_to<Name>... Names>
void reset(const Names&... names) { reset(std::vector<Name>{names...}); }
void resetAll();
void removeAllHandlers();

std::optional<Shortcut> getShortcut(const Name& name);
void setShortcut(std::optional<Shortcut> shortcut, const Name& name);

bool isRecorderActive();
void setRecorderActive(bool active);

}  // namespace GlobalShortcuts
