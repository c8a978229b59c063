#pragma once
// Hot-key registrations of the layer: each registered shortcut gets an id (1, 2, 3 ... never
// reused) under the signature QZKT, is held through the platform's hot-key backend and routes
// its presses and releases to two actions. While a menu holds the keyboard, or while the layer is
// switched off, every hot key is suspended (released, but remembered with its id) and taken again
// under the same id afterwards; with a menu open, key events that the menu receives are matched
// against the suspended hot keys instead. While a recorder records they are suspended too, so
// that the recorder's window sees the keys.
//
// A hot key the platform refuses (another client holds the combination, say) is remembered with
// its actions and tried again under a new id by retryRefused() and after every keyboard mapping
// change; one that a mapping change takes away is remembered the same way, and so is one that a
// desktop refuses after taking it (a desktop that asks the user first). The failure line is
// printed once per combination for the lifetime of the registrations, not at every attempt.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/hotkeys/hot_key_backend.hpp"
#include "shortcuts/shortcut.hpp"

namespace GlobalShortcuts {

inline constexpr std::uint32_t hotKeySignature = 0x515A4B54;  // 'QZKT'
// What the handlers answer for events that are not theirs.
inline constexpr std::int32_t eventNotHandledStatus = -9874;

class HotKeys {
public:
    using Action = std::function<void(const Shortcut&)>;
    using Describe = std::function<std::string(const Shortcut&)>;

    // `describe` gives the display string used in the failure line.
    HotKeys(std::shared_ptr<platform::HotKeyBackend> backend, Describe describe);
    ~HotKeys();
    HotKeys(const HotKeys&) = delete;
    HotKeys& operator=(const HotKeys&) = delete;

    // Registers the combination under the next id; true when the backend holds it. A refusal
    // prints "Error registering hotkey <description>: <status>" and keeps no hot key (the id is
    // spent all the same), only the wish for one.
    bool registerHotKey(std::int64_t keyCode, std::int64_t modifiers, Action onKeyDown, Action onKeyUp);
    // Releases and forgets every hot key of exactly this combination, refused ones included.
    void unregisterHotKeys(std::int64_t keyCode, std::int64_t modifiers);
    // Takes every suspended hot key again under its old id; one that fails is printed and dropped
    // (and remembered as refused).
    void reregisterAllHotKeys();
    // Tries every refused combination again, each under a new id.
    void retryRefused();
    // Combinations wanted but not held, because the platform refused them.
    std::vector<Shortcut> refusedShortcuts() const;
    // Applies the enabled and menu-open states to the hot keys and the menu key matching.
    void refreshEventHandlerState();

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);
    bool isMenuOpen() const { return menuOpen_; }
    void setMenuOpen(bool open);
    bool isRecording() const { return recording_; }
    void setRecording(bool recording);

    // A press or release reported by the backend.
    std::int32_t handleHotKeyEvent(platform::HotKeyId id, platform::HotKeyEventKind kind);
    // A key event matched against all hot keys, suspended ones included.
    std::int32_t handleRawKeyEvent(KeyEvent::Type type, std::int64_t keyCode, std::int64_t carbonModifiers);
    // A key event received by an open menu: true when it ran a hot key's action (the menu should
    // then not see it). Only while a menu is open and the layer enabled.
    bool handleMenuKeyEvent(const KeyEvent& event);

    const std::shared_ptr<platform::HotKeyBackend>& backend() const { return backend_; }

    // Whether a hot key (live or suspended) exists for the combination.
    bool holds(const Shortcut& shortcut) const;

    struct Entry {
        std::int64_t id;
        Shortcut shortcut;
        bool live;  // held by the backend now (not suspended)
    };
    std::vector<Entry> entries() const;

private:
    struct HotKey {
        Shortcut shortcut;
        std::int64_t carbonHotKeyId;
        bool live;
        Action onKeyDown;
        Action onKeyUp;
    };

    struct Refused {
        Shortcut shortcut;
        Action onKeyDown;
        Action onKeyUp;
    };

    std::int32_t registerWithBackend(const Shortcut& shortcut, std::int64_t id);
    void printFailure(const Shortcut& shortcut, std::int32_t status);
    void remember(Refused refused);
    void suspendAll();
    void handleKeymapChange(const std::vector<platform::HotKeyLoss>& lost);
    void handleRefusal(const std::vector<platform::HotKeyLoss>& refused);

    std::shared_ptr<platform::HotKeyBackend> backend_;
    Describe describe_;
    std::map<std::int64_t, HotKey> hotKeys_;
    std::vector<Refused> refused_;
    std::vector<Shortcut> reported_;  // combinations whose failure line was printed
    std::int64_t lastId_ = 0;
    bool handlerInstalled_ = false;
    bool hotKeyEventsSelected_ = false;
    bool menuMatching_ = false;
    bool enabled_ = true;
    bool menuOpen_ = false;
    bool recording_ = false;
};

}  // namespace GlobalShortcuts
