#include "shortcuts/qt/qt_keys.hpp"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QWidget>
#include <array>

#include "platform/hotkeys/hot_key_backend.hpp"
#include "shortcuts/special_keys.hpp"

namespace GlobalShortcuts {
namespace {

struct QtKey {
    std::int64_t keyCode;
    Qt::Key key;
};

// Keys named by Qt rather than by a character. Help sits where PC keyboards have Insert.
constexpr std::array<QtKey, 35> qtKeys{{
    {36, Qt::Key_Return},   {51, Qt::Key_Backspace}, {117, Qt::Key_Delete},  {119, Qt::Key_End},
    {53, Qt::Key_Escape},   {114, Qt::Key_Insert},   {115, Qt::Key_Home},    {49, Qt::Key_Space},
    {48, Qt::Key_Tab},      {116, Qt::Key_PageUp},   {121, Qt::Key_PageDown}, {126, Qt::Key_Up},
    {124, Qt::Key_Right},   {125, Qt::Key_Down},     {123, Qt::Key_Left},    {122, Qt::Key_F1},
    {120, Qt::Key_F2},      {99, Qt::Key_F3},        {118, Qt::Key_F4},      {96, Qt::Key_F5},
    {97, Qt::Key_F6},       {98, Qt::Key_F7},        {100, Qt::Key_F8},      {101, Qt::Key_F9},
    {109, Qt::Key_F10},     {103, Qt::Key_F11},      {111, Qt::Key_F12},     {105, Qt::Key_F13},
    {107, Qt::Key_F14},     {113, Qt::Key_F15},      {106, Qt::Key_F16},     {64, Qt::Key_F17},
    {79, Qt::Key_F18},      {80, Qt::Key_F19},       {90, Qt::Key_F20},
}};

std::optional<Qt::Key> qtKey(std::int64_t keyCode) {
    for (const auto& entry : qtKeys) {
        if (entry.keyCode == keyCode) return entry.key;
    }
    return std::nullopt;
}

std::optional<std::int64_t> keyCodeOf(int key) {
    for (const auto& entry : qtKeys) {
        if (entry.key == key) return entry.keyCode;
    }
    return std::nullopt;
}

QString withoutMnemonics(QString text) {
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QStringLiteral("\x01"), QStringLiteral("&"));
    return text;
}

}  // namespace

Qt::KeyboardModifiers qtModifiers(ModifierFlags flags) {
    Qt::KeyboardModifiers out;
    if (flags.contains(Modifier::control)) out |= Qt::ControlModifier;
    if (flags.contains(Modifier::option)) out |= Qt::AltModifier;
    if (flags.contains(Modifier::shift)) out |= Qt::ShiftModifier;
    if (flags.contains(Modifier::command)) out |= Qt::MetaModifier;
    return out;
}

ModifierFlags modifierFlags(Qt::KeyboardModifiers modifiers) {
    ModifierFlags out;
    if (modifiers & Qt::ControlModifier) out.insert(Modifier::control);
    if (modifiers & Qt::AltModifier) out.insert(Modifier::option);
    if (modifiers & Qt::ShiftModifier) out.insert(Modifier::shift);
    if (modifiers & Qt::MetaModifier) out.insert(Modifier::command);
    return out;
}

QKeySequence keySequence(const Shortcut& shortcut, const platform::KeyboardLayout* layout) {
    int key = 0;
    if (auto named = qtKey(shortcut.carbonKeyCode)) {
        key = *named;
    } else if (specialKey(shortcut.carbonKeyCode)) {
        return {};  // the keypad keys
    } else if (auto character = layoutCharacter(layout, shortcut.carbonKeyCode)) {
        QString upper = QString::fromStdString(*character).toUpper();
        if (upper.size() != 1) return {};
        key = upper.at(0).unicode();
    } else {
        return {};
    }
    return QKeySequence(QKeyCombination(qtModifiers(shortcut.modifiers()), static_cast<Qt::Key>(key)));
}

std::optional<KeyEvent> keyEvent(const QKeyEvent& event, const platform::HotKeyBackend& backend) {
    KeyEvent::Type type = event.type() == QEvent::KeyPress     ? KeyEvent::Type::keyDown
                          : event.type() == QEvent::KeyRelease ? KeyEvent::Type::keyUp
                                                               : KeyEvent::Type::other;
    if (type == KeyEvent::Type::other) return std::nullopt;
    auto keyCode = backend.carbonKeyCode(event.nativeScanCode());
    if (!keyCode) return std::nullopt;
    ModifierFlags flags = cocoaModifiersFromCarbon(backend.carbonModifiers(event.nativeModifiers()));
    if (event.modifiers() & Qt::KeypadModifier) flags.insert(Modifier::numericPad);
    return KeyEvent{type, *keyCode, flags};
}

MenuItem menuItem(const QString& title, const QKeySequence& shortcut) {
    MenuItem item{withoutMnemonics(title).toStdString(), {}, {}, {}};
    if (shortcut.isEmpty()) return item;
    QKeyCombination combination = shortcut[0];
    item.modifierMask = modifierFlags(combination.keyboardModifiers());
    int key = combination.key();
    if (auto keyCode = keyCodeOf(key)) {
        if (const SpecialKey* special = specialKey(*keyCode); special && special->menuKeyEquivalent) {
            item.keyEquivalent = std::string(*special->menuKeyEquivalent);
        }
    } else if (key > 0 && key < 0x01000000) {
        // Qt names letters by their upper case; Shift is in the modifiers already.
        auto character = static_cast<char32_t>(key);
        item.keyEquivalent = QString::fromUcs4(&character, 1).toLower().toStdString();
    }
    return item;
}

std::vector<MenuItem> menuItems(const QList<QAction*>& actions) {
    std::vector<MenuItem> items;
    for (QAction* action : actions) {
        if (action->isSeparator()) continue;
        MenuItem item = menuItem(action->text(), action->shortcut());
        if (auto* submenu = action->menu<QMenu*>()) item.submenu = menuItems(submenu->actions());
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<MenuItem> applicationMenus() {
    std::vector<MenuItem> menus;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        std::vector<MenuItem> found;
        if (auto* menu = qobject_cast<QMenu*>(widget)) {
            if (!menu->parentWidget()) found = menuItems(menu->actions());
        } else {
            for (auto* bar : widget->findChildren<QMenuBar*>()) {
                auto items = menuItems(bar->actions());
                found.insert(found.end(), items.begin(), items.end());
            }
        }
        menus.insert(menus.end(), found.begin(), found.end());
    }
    return menus;
}

}  // namespace GlobalShortcuts
