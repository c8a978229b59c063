#pragma once
// System-wide hot keys: a key combination, given as a Carbon key code and Carbon modifier bits,
// is held for this process under an identifier pair; presses and releases of it are reported to
// one event handler on the main executor.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct HotKeyId {
    std::uint32_t signature = 0;
    std::uint32_t id = 0;
    friend bool operator==(const HotKeyId&, const HotKeyId&) = default;
};

// An identifier pair as one key of a map of registrations: the signature above the id.
inline std::uint64_t idKey(HotKeyId id) { return (std::uint64_t{id.signature} << 32) | id.id; }

// Carbon modifier bits.
inline constexpr std::uint32_t carbonCommand = 0x100;
inline constexpr std::uint32_t carbonShift = 0x200;
inline constexpr std::uint32_t carbonOption = 0x800;
inline constexpr std::uint32_t carbonControl = 0x1000;
inline constexpr std::uint32_t carbonFunction = 0x20000;

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
// The desktop refused the shortcut: the user declined or cancelled its dialog, or the desktop
// answered with an error.
inline constexpr std::int32_t refusedByDesktop = -6;
// The desktop did not answer in time.
inline constexpr std::int32_t noAnswer = -7;
// The X protocol's code for a grab that another client holds.
inline constexpr std::int32_t accessDenied = 10;
}  // namespace HotKeyStatus

// A registration the backend stopped holding, and why.
struct HotKeyLoss {
    HotKeyId id;
    std::int32_t status = 0;
};

// A name the application wants a key for, and the combination it prefers, for desktops that bind
// shortcuts by name.
struct NamedHotKey {
    std::string name;
    std::uint32_t carbonKeyCode = 0;
    std::uint32_t carbonModifiers = 0;
    friend bool operator==(const NamedHotKey&, const NamedHotKey&) = default;
};

class HotKeyBackend {
public:
    using EventHandler = std::function<void(HotKeyId, HotKeyEventKind)>;
    // After the keyboard mapping changed and every registration was taken again: the ones that
    // could not be held any more (they are forgotten, as if unregistered).
    using KeymapChangeHandler = std::function<void(const std::vector<HotKeyLoss>& lost)>;

    virtual ~HotKeyBackend() = default;

    // Holds the combination for `id`; HotKeyStatus::ok when it is now held, otherwise the reason
    // it is not (and nothing is held).
    virtual std::int32_t registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                        HotKeyId id) = 0;
    // Releases what `id` holds; an unknown id is ignored.
    virtual void unregisterHotKey(HotKeyId id) = 0;
    // Replaces the handler that receives presses and releases (run on the main executor).
    virtual void setEventHandler(EventHandler handler) = 0;
    // Replaces the handler told of keyboard mapping changes (run on the main executor).
    virtual void setKeymapChangeHandler(KeymapChangeHandler handler) = 0;

    // Registrations that the desktop refused after registerHotKey had taken them (its dialog was
    // declined, or it never answered): they are forgotten, as if unregistered. Run on the main
    // executor. Backends that answer at once never call it.
    using RefusalHandler = std::function<void(const std::vector<HotKeyLoss>& refused)>;
    virtual void setRefusalHandler(RefusalHandler) {}

    // Desktops that bind shortcuts by name (the desktop portal) rather than by combination: the
    // names in use and the combination each prefers. Presses still arrive for the registrations
    // of those combinations. Others ignore it.
    virtual void setNamedHotKeys(std::vector<NamedHotKey>) {}
    // What the desktop says triggers the name ("Ctrl+Alt+K"), "" while it is not bound; none where
    // the registered combination itself is the trigger.
    virtual std::optional<std::string> triggerDescription(const std::string& /*name*/) const { return std::nullopt; }
    // Told (on the main executor) the names whose trigger description changed.
    using TriggerChangeHandler = std::function<void(const std::vector<std::string>& names)>;
    virtual void setTriggerChangeHandler(TriggerChangeHandler) {}
    // Desktops that bind by name and report the keys they bound as combinations (KDE's
    // kglobalaccel): the combination that triggers the name now; `bound` false while the desktop
    // holds no key for it that a combination can express. None where the registered combination
    // itself is the trigger, while the desktop has not answered yet, and where
    // triggerDescription tells instead. Changes are told through the trigger change handler.
    struct BoundCombination {
        bool bound = false;
        std::uint32_t carbonKeyCode = 0;
        std::uint32_t carbonModifiers = 0;
        friend bool operator==(const BoundCombination&, const BoundCombination&) = default;
    };
    virtual std::optional<BoundCombination> boundCombination(const std::string& /*name*/) const { return std::nullopt; }

    // Whether a client other than this backend holds the combination; false when that cannot be
    // known.
    virtual bool isHeldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) = 0;

    // For key events that reach the application's own windows: the Carbon key code of a native
    // key (the scan code a toolkit reports) and the Carbon modifiers of a native modifier state,
    // by the same mapping the registrations use.
    virtual std::optional<std::int64_t> carbonKeyCode(std::uint32_t nativeKeycode) const = 0;
    virtual std::int64_t carbonModifiers(std::uint32_t nativeState) const = 0;
};

}  // namespace platform
