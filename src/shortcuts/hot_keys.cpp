#include "shortcuts/hot_keys.hpp"

#include <algorithm>
#include <limits>

#include "platform/runtime/print.hpp"

namespace GlobalShortcuts {
namespace {

constexpr std::int64_t maxUnsigned32 = std::numeric_limits<std::uint32_t>::max();

bool fitsUnsigned32(std::int64_t value) { return value >= 0 && value <= maxUnsigned32; }

}  // namespace

HotKeys::HotKeys(std::shared_ptr<platform::HotKeyBackend> backend, Describe describe)
    : backend_(std::move(backend)), describe_(std::move(describe)) {
    if (backend_) {
        backend_->setKeymapChangeHandler(
            [this](const std::vector<platform::HotKeyLoss>& lost) { handleKeymapChange(lost); });
        backend_->setRefusalHandler([this](const std::vector<platform::HotKeyLoss>& refused) { handleRefusal(refused); });
    }
}

HotKeys::~HotKeys() {
    if (!backend_) return;
    backend_->setEventHandler({});
    backend_->setKeymapChangeHandler({});
    backend_->setRefusalHandler({});
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

void HotKeys::printFailure(const Shortcut& shortcut, std::int32_t status) {
    if (std::find(reported_.begin(), reported_.end(), shortcut) != reported_.end()) return;
    reported_.push_back(shortcut);
    std::string description = describe_ ? describe_(shortcut) : shortcut.description(nullptr);
    platform::print("Error registering hotkey " + description + ": " + std::to_string(status));
}

bool HotKeys::registerHotKey(std::int64_t keyCode, std::int64_t modifiers, Action onKeyDown, Action onKeyUp) {
    std::int64_t id = ++lastId_;
    Shortcut shortcut(keyCode, 0);
    shortcut.carbonModifiers = modifiers;
    if (auto status = registerWithBackend(shortcut, id); status != platform::HotKeyStatus::ok) {
        printFailure(shortcut, status);
        remember({shortcut, std::move(onKeyDown), std::move(onKeyUp)});
        return false;
    }
    std::erase_if(refused_, [&](const Refused& refused) { return refused.shortcut == shortcut; });
    hotKeys_.emplace(id, HotKey{shortcut, id, true, std::move(onKeyDown), std::move(onKeyUp)});
    if (!handlerInstalled_) {
        backend_->setEventHandler([this](platform::HotKeyId hotKeyId, platform::HotKeyEventKind kind) {
            handleHotKeyEvent(hotKeyId, kind);
        });
        handlerInstalled_ = true;
        refreshEventHandlerState();
    } else if (!enabled_ || menuOpen_ || recording_) {
        // Switched off, a menu is open or a recorder records: the key stays free until then.
        backend_->unregisterHotKey({hotKeySignature, static_cast<std::uint32_t>(id)});
        hotKeys_.at(id).live = false;
    }
    return true;
}

void HotKeys::unregisterHotKeys(std::int64_t keyCode, std::int64_t modifiers) {
    std::erase_if(refused_, [&](const Refused& refused) {
        return refused.shortcut.carbonKeyCode == keyCode && refused.shortcut.carbonModifiers == modifiers;
    });
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
            remember({hotKey.shortcut, std::move(hotKey.onKeyDown), std::move(hotKey.onKeyUp)});
            it = hotKeys_.erase(it);
            continue;
        }
        hotKey.live = true;
        ++it;
    }
}

void HotKeys::remember(Refused refused) {
    std::erase_if(refused_, [&](const Refused& other) { return other.shortcut == refused.shortcut; });
    refused_.push_back(std::move(refused));
}

void HotKeys::retryRefused() {
    // Copies: a retry that fails puts its entry back.
    auto pending = refused_;
    for (auto& refused : pending) {
        registerHotKey(refused.shortcut.carbonKeyCode, refused.shortcut.carbonModifiers,
                       std::move(refused.onKeyDown), std::move(refused.onKeyUp));
    }
}

std::vector<Shortcut> HotKeys::refusedShortcuts() const {
    std::vector<Shortcut> out;
    for (const auto& refused : refused_) out.push_back(refused.shortcut);
    return out;
}

// The new mapping may make a refused combination possible (its key exists now, say); hot keys
// it takes away are reported and wait for the next chance like refused ones.
void HotKeys::handleKeymapChange(const std::vector<platform::HotKeyLoss>& lost) {
    std::vector<Refused> taken;
    for (const auto& loss : lost) {
        if (loss.id.signature != hotKeySignature) continue;
        auto found = hotKeys_.find(loss.id.id);
        if (found == hotKeys_.end()) continue;
        printFailure(found->second.shortcut, loss.status);
        taken.push_back({found->second.shortcut, std::move(found->second.onKeyDown),
                         std::move(found->second.onKeyUp)});
        hotKeys_.erase(found);
    }
    retryRefused();
    for (auto& refused : taken) remember(std::move(refused));
}

// The desktop said no after taking the registration: reported like a refused grab and
// remembered, but not tried again at once (the desktop would only ask the user again).
void HotKeys::handleRefusal(const std::vector<platform::HotKeyLoss>& refused) {
    for (const auto& loss : refused) {
        if (loss.id.signature != hotKeySignature) continue;
        auto found = hotKeys_.find(loss.id.id);
        if (found == hotKeys_.end()) continue;
        printFailure(found->second.shortcut, loss.status);
        remember({found->second.shortcut, std::move(found->second.onKeyDown), std::move(found->second.onKeyUp)});
        hotKeys_.erase(found);
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
    if (recording_) {
        // Nothing fires while a recorder records; the keys reach its window.
        suspendAll();
        hotKeyEventsSelected_ = false;
        menuMatching_ = false;
    } else if (enabled_ && menuOpen_) {
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

void HotKeys::setRecording(bool recording) {
    if (recording == recording_) return;
    recording_ = recording;
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
