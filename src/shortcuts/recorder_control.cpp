#include "shortcuts/recorder_control.hpp"

#include <algorithm>
#include <array>
#include <cctype>

#include "platform/hotkeys/hot_key_backend.hpp"
#include "shortcuts/key.hpp"
#include "shortcuts/shortcut_layer.hpp"
#include "shortcuts/texts.hpp"

namespace GlobalShortcuts {
namespace {

// Modifier flags other than Caps Lock and the numeric-pad flag.
constexpr std::uint64_t notPlainMask = 0xFFDE0000;
// Modifier flags other than Shift, Function, Caps Lock and the numeric-pad flag.
constexpr std::uint64_t realModifierMask = 0xFF5C0000;

// F1 to F20: the function keys that need no modifier.
bool isFunctionKey(std::int64_t keyCode) {
    static constexpr std::array<std::int64_t, 20> codes{122, 120, 99,  118, 96,  97,  98,  100, 101, 109,
                                                        103, 111, 105, 107, 113, 106, 64,  79,  80,  90};
    return std::find(codes.begin(), codes.end(), keyCode) != codes.end();
}

std::string lowered(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

const MenuItem* search(const std::vector<MenuItem>& menu, const std::optional<std::string>& keyEquivalent,
                       ModifierFlags flags) {
    for (const auto& item : menu) {
        std::string equivalent = item.keyEquivalent;
        ModifierFlags mask = item.modifierMask;
        if (flags.contains(Modifier::shift) && equivalent != lowered(equivalent)) {
            equivalent = lowered(equivalent);
            mask.insert(Modifier::shift);
        }
        if (keyEquivalent && *keyEquivalent == equivalent && flags == mask) return &item;
        if (const MenuItem* found = search(item.submenu, keyEquivalent, flags)) return found;
    }
    return nullptr;
}

}  // namespace

const MenuItem* menuItemWithShortcut(const std::vector<MenuItem>& menu, const Shortcut& candidate,
                                     const platform::KeyboardLayout* layout) {
    return search(menu, candidate.menuItemKeyEquivalent(layout), candidate.modifiers());
}

RecorderControl::RecorderControl(std::shared_ptr<ShortcutLayer> layer, RecorderSurface& surface, Name name,
                                 OnChange onChange)
    : layer_(std::move(layer)), surface_(surface), name_(std::move(name)), onChange_(std::move(onChange)) {
    surface_.setPlaceholder(std::string(localized("record_shortcut")));
    surface_.setCaretVisible(true);
    showStoredShortcut();
    if (!layer_) return;
    nameChanges_ = layer_->notificationCenter().addObserver(
        shortcutByNameDidChangeNotification, [this](const platform::Notification& notification) {
            const Name* changed = notification.get<Name>("name");
            if (changed && changed->rawValue == name_.rawValue) showStoredShortcut();
        });
}

RecorderControl::~RecorderControl() {
    nameChanges_.reset();
    if (recording_) endRecording();
}

void RecorderControl::setShortcutName(Name name) {
    bool other = name.rawValue != name_.rawValue;
    name_ = std::move(name);
    if (other) showStoredShortcut();
}

void RecorderControl::showStoredShortcut() {
    std::optional<Shortcut> stored = layer_ ? layer_->getShortcut(name_) : std::nullopt;
    surface_.setShownText(stored ? layer_->description(*stored) : std::string());
    surface_.setClearButtonShown(!surface_.shownText().empty());
}

void RecorderControl::startRecording() {
    surface_.setPlaceholder(std::string(localized("press_shortcut")));
    surface_.setClearButtonShown(!surface_.shownText().empty());
    surface_.setCaretVisible(false);
    // Focus that comes twice counts once.
    if (recording_) return;
    recording_ = true;
    if (layer_) layer_->recorderDidStart();
}

void RecorderControl::endRecording() {
    surface_.setPlaceholder(std::string(localized("record_shortcut")));
    surface_.setClearButtonShown(!surface_.shownText().empty());
    surface_.setCaretVisible(true);
    bool wasRecording = recording_;
    recording_ = false;
    if (layer_) layer_->recorderDidEnd(wasRecording);
}

void RecorderControl::clear() {
    surface_.setShownText({});
    if (layer_) layer_->setShortcut(std::nullopt, name_);
    if (onChange_) onChange_(std::nullopt);
    surface_.setClearButtonShown(false);
    surface_.focus();
}

RecorderControl::Fate RecorderControl::handleMouseUp(bool nearControl) {
    if (nearControl) return Fate::swallow;
    surface_.blur();
    return Fate::pass;
}

RecorderControl::Fate RecorderControl::handleKeyDown(const KeyEvent& event) {
    if (event.type != KeyEvent::Type::keyDown) return Fate::swallow;
    const std::uint64_t flags = event.modifierFlags.rawValue();
    const bool plain = (flags & notPlainMask) == 0;
    if (plain && event.keyCode == Key::tab.rawValue) {
        surface_.blur();
        return Fate::pass;
    }
    if (plain && event.keyCode == Key::escape.rawValue) {
        surface_.blur();
        return Fate::swallow;
    }
    if (plain && (event.keyCode == Key::delete_.rawValue || event.keyCode == Key::deleteForward.rawValue)) {
        if (!surface_.shownText().empty()) clear();
        return Fate::swallow;
    }
    if ((flags & realModifierMask) == 0 && !isFunctionKey(event.keyCode)) {
        surface_.beep();
        return Fate::swallow;
    }
    auto candidate = Shortcut::fromEvent(event);
    if (!candidate) {
        surface_.beep();
        return Fate::swallow;
    }

    const platform::KeyboardLayout* layout = layer_ ? layer_->keyboardLayout() : nullptr;
    auto menu = surface_.applicationMenu();
    if (const MenuItem* item = menuItemWithShortcut(menu, *candidate, layout)) {
        surface_.blur();
        surface_.runAlert({localized("keyboard_shortcut_used_by_menu_item", item->title), {}, {}});
        surface_.focus();
        return Fate::swallow;
    }

    // Plain F12 is left to whoever holds it.
    bool plainF12 = candidate->carbonKeyCode == Key::f12.rawValue && candidate->carbonModifiers == 0;
    platform::HotKeyBackend* backend = layer_ ? layer_->hotKeyBackend() : nullptr;
    if (!plainF12 && backend && candidate->carbonKeyCode >= 0 && candidate->carbonKeyCode <= 0xFFFFFFFF &&
        backend->isHeldElsewhere(static_cast<std::uint32_t>(candidate->carbonKeyCode),
                                 static_cast<std::uint32_t>(candidate->carbonModifiers))) {
        surface_.blur();
        int answer = surface_.runAlert({std::string(localized("keyboard_shortcut_used_by_system")),
                                        std::string(localized("keyboard_shortcuts_can_be_changed")),
                                        {std::string(localized("ok")), std::string(localized("force_use_shortcut"))}});
        surface_.focus();
        if (answer != 1) return Fate::swallow;
    }

    surface_.setShownText(layer_ ? layer_->description(*candidate) : candidate->description(nullptr));
    surface_.setClearButtonShown(true);
    if (layer_) layer_->setShortcut(*candidate, name_);
    if (onChange_) onChange_(*candidate);
    surface_.blur();
    return Fate::swallow;
}

}  // namespace GlobalShortcuts
