#include "shortcuts/hot_keys.hpp"

#include <limits>

#include "platform/runtime/print.hpp"

namespace GlobalShortcuts {
namespace {

constexpr std::int64_t maxUnsigned32 = std::numeric_limits<std::uint32_t>::max();

bool fitsUnsigned32(std::int64_t value) { return value >= 0 && value <= maxUnsigned32; }

}  // namespace

HotKeys::HotKeys(std::shared_ptr<platform::HotKeyBackend> backend, Describe describe)
    : backend_(std::move(backend)), describe_(std::move(describe)) {}

HotKeys::~HotKeys() {
    if (!backend_) return;
    backend_->setEventHandler({});
    for (const auto& [id, hotKey] : hotKeys_) {
        if (hotKey.live) backend_->unregisterHotKey({hotKeySignature, static_cast<std::uint32_t>(id)});
    }
}

std::int32_t HotKeys::registerWithBackend(const Shortcut& shortcut, std::int64_t id) {
    // Key codes from Key(rawValue) can be anything; the backend takes 32 bits.
    if (!fitsUnsigned32(shortcut.carbonKeyCode) || !fitsUnsigned32(shortcut.carbonModifiers) ||
        !fitsUnsigned32(id)) {
        return platform::HotKeyStatus::invalidArgument;
    }
    if (!backend_) return platform::HotKeyStatus::noConnection;
    return backend_->registerHotKey(static_cast<std::uint32_t>(shortcut.carbonKeyCode),
                                    static_cast<std::uint32_t>(shortcut.carbonModifiers),
                                    {hotKeySignature, static_cast<std::uint32_t>(id)});
}

void HotKeys::printFailure(const Shortcut& shortcut, std::int32_t status) const {
    std::string description = describe_ ? describe_(shortcut) : shortcut.description(nullptr);
    platform::print("Error registering hotkey " + description + ": " + std::to_string(status));
}

bool HotKeys::registerHotKey(std::int64_t keyCode, std::int64_t modifiers, Action onKeyDown, Action onKeyUp) {
    std::int64_t id = ++lastId_;
    Shortcut shortcut(keyCode, 0);
    shortcut.carbonModifiers = modifiers;
    if (auto status = registerWithBackend(shortcut, id); status != platform::HotKeyStatus::ok) {
        printFailure(shortcut, status);
        return false;
    }
    hotKeys_.emplace(id, HotKey{shortcut, id, true, std::move(onKeyDown), std::move(onKeyUp)});
    if (!handlerInstalled_) {
        backend_->setEventHandler([this](platform::HotKeyId hotKeyId, platform::HotKeyEventKind kind) {
            handleHotKeyEvent(hotKeyId, kind);
        });
        handlerInstalled_ = true;
        refreshEventHandlerState();
    } else if (!enabled_ || menuOpen_) {
        // Switched off or a menu is open: the key stays free for others until then.
        backend_->unregisterHotKey({hotKeySignature, static_cast<std::uint32_t>(id)});
        hotKeys_.at(id).live = false;
    }
    return true;
}

void HotKeys::unregisterHotKeys(std::int64_t keyCode, std::int64_t modifiers) {
    for (auto it = hotKeys_.begin(); it != hotKeys_.end();) {
        const Shortcut& shortcut = it->second.shortcut;
        if (shortcut.carbonKeyCode == keyCode && shortcut.carbonModifiers == modifiers) {
            if (it->second.live) backend_->unregisterHotKey({hotKeySignature, static_cast<std::uint32_t>(it->first)});
            it = hotKeys_.erase(it);
        } else {
            ++it;
        }
    }
}

void HotKeys::reregisterAllHotKeys() {
    for (auto it = hotKeys_.begin(); it != hotKeys_.end();) {
        HotKey& hotKey = it->second;
        if (hotKey.live) {
            ++it;
            continue;
        }
        if (auto status = registerWithBackend(hotKey.shortcut, hotKey.carbonHotKeyId);
            status != platform::HotKeyStatus::ok) {
            printFailure(hotKey.shortcut, status);
            it = hotKeys_.erase(it);
            continue;
        }
        hotKey.live = true;
        ++it;
    }
}

void HotKeys::suspendAll() {
    for (auto& [id, hotKey] : hotKeys_) {
        if (hotKey.live) backend_->unregisterHotKey({hotKeySignature, static_cast<std::uint32_t>(id)});
        hotKey.live = false;
    }
}

void HotKeys::refreshEventHandlerState() {
    if (!handlerInstalled_) return;
    if (enabled_ && menuOpen_) {
        suspendAll();
        hotKeyEventsSelected_ = false;
        menuMatching_ = true;
    } else if (enabled_) {
        reregisterAllHotKeys();
        menuMatching_ = false;
        hotKeyEventsSelected_ = true;
    } else {
        suspendAll();
        hotKeyEventsSelected_ = false;
        menuMatching_ = false;
    }
}

void HotKeys::setEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    refreshEventHandlerState();
}

void HotKeys::setMenuOpen(bool open) {
    if (open == menuOpen_) return;
    menuOpen_ = open;
    refreshEventHandlerState();
}

std::int32_t HotKeys::handleHotKeyEvent(platform::HotKeyId id, platform::HotKeyEventKind kind) {
    if (!hotKeyEventsSelected_ || id.signature != hotKeySignature) return eventNotHandledStatus;
    auto found = hotKeys_.find(id.id);
    if (found == hotKeys_.end()) return eventNotHandledStatus;
    // Copies: the action may unregister its own hot key.
    Shortcut shortcut = found->second.shortcut;
    Action action = kind == platform::HotKeyEventKind::pressed ? found->second.onKeyDown : found->second.onKeyUp;
    if (action) action(shortcut);
    return 0;
}

std::int32_t HotKeys::handleRawKeyEvent(KeyEvent::Type type, std::int64_t keyCode, std::int64_t carbonModifiers) {
    std::int64_t modifiers = carbonModifiersFromCocoa(cocoaModifiersFromCarbon(carbonModifiers));
    for (const auto& [id, hotKey] : hotKeys_) {
        if (hotKey.shortcut.carbonKeyCode != keyCode || hotKey.shortcut.carbonModifiers != modifiers) continue;
        Shortcut shortcut = hotKey.shortcut;
        Action action;
        if (type == KeyEvent::Type::keyDown) {
            action = hotKey.onKeyDown;
        } else if (type == KeyEvent::Type::keyUp) {
            action = hotKey.onKeyUp;
        } else {
            return eventNotHandledStatus;
        }
        if (action) action(shortcut);
        return 0;
    }
    return eventNotHandledStatus;
}

bool HotKeys::handleMenuKeyEvent(const KeyEvent& event) {
    if (!menuMatching_) return false;
    return handleRawKeyEvent(event.type, event.keyCode, carbonModifiersFromCocoa(event.modifierFlags)) == 0;
}

bool HotKeys::holds(const Shortcut& shortcut) const {
    for (const auto& [id, hotKey] : hotKeys_) {
        if (hotKey.shortcut == shortcut) return true;
    }
    return false;
}

std::vector<HotKeys::Entry> HotKeys::entries() const {
    std::vector<Entry> out;
    for (const auto& [id, hotKey] : hotKeys_) out.push_back({id, hotKey.shortcut, hotKey.live});
    return out;
}

}  // namespace GlobalShortcuts
