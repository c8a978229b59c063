#pragma once
// A hot-key backend without a display server: registrations are kept in memory, combinations can
// be made to fail, and presses and releases are simulated.

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/hotkeys/hot_key_backend.hpp"

namespace platform {

class FakeHotKeyBackend final : public HotKeyBackend {
public:
    struct Registration {
        std::uint32_t keyCode = 0;
        std::uint32_t modifiers = 0;
        HotKeyId id;
    };

    std::int32_t registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyId id) override {
        ++registerCalls;
        if (auto refused = refusals_.find({keyCode, modifiers}); refused != refusals_.end()) {
            return refused->second;
        }
        for (const auto& held : held_) {
            if (held.id == id) return HotKeyStatus::idInUse;
        }
        held_.push_back({keyCode, modifiers, id});
        return HotKeyStatus::ok;
    }

    void unregisterHotKey(HotKeyId id) override {
        ++unregisterCalls;
        std::erase_if(held_, [&](const Registration& held) { return held.id == id; });
    }

    void setEventHandler(EventHandler handler) override { handler_ = std::move(handler); }
    void setKeymapChangeHandler(KeymapChangeHandler handler) override { keymapHandler_ = std::move(handler); }

    bool isHeldElsewhere(std::uint32_t keyCode, std::uint32_t modifiers) override {
        ++probes;
        return elsewhere_.count({keyCode, modifiers}) > 0;
    }
    // Native keycodes are the Carbon key code plus 8; the native state carries the Carbon bits.
    std::optional<std::int64_t> carbonKeyCode(std::uint32_t nativeKeycode) const override {
        if (nativeKeycode < 8) return std::nullopt;
        return std::int64_t{nativeKeycode} - 8;
    }
    std::int64_t carbonModifiers(std::uint32_t nativeState) const override { return nativeState; }

    // Another client holds (or no longer holds) the combination.
    void holdElsewhere(std::uint32_t keyCode, std::uint32_t modifiers, bool held = true) {
        if (held) {
            elsewhere_.insert({keyCode, modifiers});
        } else {
            elsewhere_.erase({keyCode, modifiers});
        }
    }

    // A keymap change after which the given combinations can no longer be held: they are
    // dropped and the handler is told, with `status` as the reason.
    void changeKeymap(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& lost = {},
                      std::int32_t status = HotKeyStatus::accessDenied) {
        std::vector<HotKeyLoss> losses;
        for (const auto& [keyCode, modifiers] : lost) {
            while (auto id = heldId(keyCode, modifiers)) {
                losses.push_back({*id, status});
                std::erase_if(held_, [&](const Registration& held) { return held.id == *id; });
            }
        }
        if (auto handler = keymapHandler_) handler(losses);
    }

    // Later registrations of the combination fail with `status` (until allowed again).
    void refuse(std::uint32_t keyCode, std::uint32_t modifiers, std::int32_t status) {
        refusals_[{keyCode, modifiers}] = status;
    }
    void allow(std::uint32_t keyCode, std::uint32_t modifiers) { refusals_.erase({keyCode, modifiers}); }

    // What is held, in registration order.
    const std::vector<Registration>& held() const { return held_; }
    std::optional<HotKeyId> heldId(std::uint32_t keyCode, std::uint32_t modifiers) const {
        for (const auto& held : held_) {
            if (held.keyCode == keyCode && held.modifiers == modifiers) return held.id;
        }
        return std::nullopt;
    }
    bool hasEventHandler() const { return static_cast<bool>(handler_); }

    // A press or release of a held combination reaches the handler; others go nowhere.
    bool press(std::uint32_t keyCode, std::uint32_t modifiers) {
        return sendFor(keyCode, modifiers, HotKeyEventKind::pressed);
    }
    bool release(std::uint32_t keyCode, std::uint32_t modifiers) {
        return sendFor(keyCode, modifiers, HotKeyEventKind::released);
    }
    void send(HotKeyId id, HotKeyEventKind kind) {
        if (auto handler = handler_) handler(id, kind);
    }

    int registerCalls = 0;
    int unregisterCalls = 0;
    int probes = 0;

private:
    bool sendFor(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyEventKind kind) {
        auto id = heldId(keyCode, modifiers);
        if (!id || !handler_) return false;
        send(*id, kind);
        return true;
    }

    std::vector<Registration> held_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::int32_t> refusals_;
    std::set<std::pair<std::uint32_t, std::uint32_t>> elsewhere_;
    EventHandler handler_;
    KeymapChangeHandler keymapHandler_;
};

}  // namespace platform
