#include "shortcuts/global_shortcuts.hpp"

namespace GlobalShortcuts {

Name::Name(std::string rawValue, std::optional<Shortcut> defaultShortcut)
    : rawValue(std::move(rawValue)), defaultShortcut(defaultShortcut) {
    if (auto layer = ShortcutLayer::shared()) layer->declare(*this);
}

std::optional<Shortcut> Name::shortcut() const { return getShortcut(*this); }

void Name::setShortcut(std::optional<Shortcut> shortcut) const { GlobalShortcuts::setShortcut(shortcut, *this); }

void onKeyDown(const Name& name, ShortcutLayer::Action action) {
    if (auto layer = ShortcutLayer::shared()) layer->onKeyDown(name, std::move(action));
}

void onKeyUp(const Name& name, ShortcutLayer::Action action) {
    if (auto layer = ShortcutLayer::shared()) layer->onKeyUp(name, std::move(action));
}

EventStream events(const Name& name) {
    auto layer = ShortcutLayer::shared();
    return layer ? layer->events(name) : EventStream();
}

EventStream events(EventType type, const Name& name) {
    auto layer = ShortcutLayer::shared();
    return layer ? layer->events(type, name) : EventStream();
}

bool isEnabled() {
    auto layer = ShortcutLayer::shared();
    return layer ? layer->isEnabled() : true;
}

void setEnabled(bool enabled) {
    if (auto layer = ShortcutLayer::shared()) layer->setEnabled(enabled);
}

void disable(const std::vector<Name>& names) {
    if (auto layer = ShortcutLayer::shared()) layer->disable(names);
}

void enable(const std::vector<Name>& names) {
    if (auto layer = ShortcutLayer::shared()) layer->enable(names);
}

void reset(const std::vector<Name>& names) {
    if (auto layer = ShortcutLayer::shared()) layer->reset(names);
}

void resetAll() {
    if (auto layer = ShortcutLayer::shared()) layer->resetAll();
}

void removeAllHandlers() {
    if (auto layer = ShortcutLayer::shared()) layer->removeAllHandlers();
}

std::optional<Shortcut> getShortcut(const Name& name) {
    auto layer = ShortcutLayer::shared();
    return layer ? layer->getShortcut(name) : std::nullopt;
}

void setShortcut(std::optional<Shortcut> shortcut, const Name& name) {
    if (auto layer = ShortcutLayer::shared()) layer->setShortcut(shortcut, name);
}

bool isRecorderActive() {
    auto layer = ShortcutLayer::shared();
    return layer && layer->isRecorderActive();
}

void setRecorderActive(bool active) {
    if (auto layer = ShortcutLayer::shared()) layer->setRecorderActive(active);
}

}  // namespace GlobalShortcuts
