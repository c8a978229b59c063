#pragma once
// System-wide hot keys: a key combination, given as a Carbon key code and Carbon modifier bits,
// is held for this process under an identifier pair; presses and releases of it are reported to
// one event handler on the main executor.

#include <cstdint>
#include <functional>

namespace platform {

struct HotKeyId {
    std::uint32_t signature = 0;
    std::uint32_t id = 0;
    friend bool operator==(const HotKeyId&, const HotKeyId&) = default;
};

enum class HotKeyEventKind { pressed, released };

// Results of registerHotKey. Positive values are the error codes of the X protocol (10 when
// another client already holds the combination); the negative ones are this layer's own.
namespace HotKeyStatus {
inline constexpr std::int32_t ok = 0;
// No display server to register with (no X11 session, or its connection was lost).
inline constexpr std::int32_t noConnection = -1;
// The key code names no key of the current keyboard.
inline constexpr std::int32_t noSuchKey = -2;
// A modifier the keyboard has no equivalent for (the function modifier, or a modifier the
// server's modifier map leaves out).
inline constexpr std::int32_t unsupportedModifier = -3;
// Key code, modifiers or id outside the 32-bit range the registration takes.
inline constexpr std::int32_t invalidArgument = -4;
// The identifier pair is already in use.
inline constexpr std::int32_t idInUse = -5;
// The X protocol's code for a grab that another client holds.
inline constexpr std::int32_t accessDenied = 10;
}  // namespace HotKeyStatus

class HotKeyBackend {
public:
    using EventHandler = std::function<void(HotKeyId, HotKeyEventKind)>;

    virtual ~HotKeyBackend() = default;

    // Holds the combination for `id`; HotKeyStatus::ok when it is now held, otherwise the reason
    // it is not (and nothing is held).
    virtual std::int32_t registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                        HotKeyId id) = 0;
    // Releases what `id` holds; an unknown id is ignored.
    virtual void unregisterHotKey(HotKeyId id) = 0;
    // Replaces the handler that receives presses and releases (run on the main executor).
    virtual void setEventHandler(EventHandler handler) = 0;
};

}  // namespace platform
