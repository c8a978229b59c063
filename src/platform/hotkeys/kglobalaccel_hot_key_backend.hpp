#pragma once
// Hot keys of a KDE Plasma session (X11 or Wayland), through KDE's global-shortcut service
// (org.kde.kglobalaccel on the session bus; KWin serves it under Wayland). Every name in use is an
// action of the component "kestro" (friendly name "Kestro") with the name's description; the
// combination the application stores is offered as its default, and the keys the user chose in
// KDE's settings win over it. The service reports presses and releases by name; they reach the
// registrations of the combination the name prefers, as with the desktop portal. A combination
// the application records anew is set in the service; a change made in KDE's settings is told
// through the trigger change handler and boundCombination. A restarted service (KWin restarts,
// say) gets the names again; when the application ends, its actions are made inactive so that the
// service lets their keys go.
//
// Start-up asks the bus whether the service is there (running, or started on demand); without it
// the fallback backend (X11 grabs, or the desktop portal) takes over for the whole run.

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/hotkeys/hot_key_backend.hpp"
#include "platform/hotkeys/keyboard_layout.hpp"

namespace platform {

class KGlobalAccelHotKeyBackend final : public HotKeyBackend {
public:
    struct Options {
        // The session bus (a D-Bus address); empty: the one of the environment.
        std::string busAddress;
        // How long each call may wait for its reply.
        std::chrono::milliseconds callTimeout{std::chrono::seconds(25)};
        // How long the question whether another component holds a combination may hold the
        // caller (it is asked while the user records a shortcut).
        std::chrono::milliseconds heldElsewhereTimeout{std::chrono::seconds(1)};
        // The action's text in KDE's settings, for each name (the name itself where none is given).
        std::map<std::string, std::string> descriptions;
        std::string componentName = "kestro";
        std::string friendlyName = "Kestro";
    };

    enum class Availability { probing, kglobalaccel, fallback };

    // Makes the backend that serves the session without the service; called at most once.
    using FallbackFactory = std::function<std::shared_ptr<HotKeyBackend>()>;

    // Connects on `mainExecutor` (the bus's descriptor and time-outs are awaited on `ioExecutor`).
    // `layout` (may be null) gives the characters of key positions; `nativeKeys` (may be null)
    // maps the key events of the application's own windows (see carbonKeyCode).
    static std::shared_ptr<KGlobalAccelHotKeyBackend> create(boost::asio::any_io_executor mainExecutor,
                                                             boost::asio::any_io_executor ioExecutor, Options options,
                                                             std::shared_ptr<KeyboardLayout> layout,
                                                             std::shared_ptr<HotKeyBackend> nativeKeys,
                                                             FallbackFactory fallback);
    ~KGlobalAccelHotKeyBackend() override;
    KGlobalAccelHotKeyBackend(const KGlobalAccelHotKeyBackend&) = delete;
    KGlobalAccelHotKeyBackend& operator=(const KGlobalAccelHotKeyBackend&) = delete;

    Availability availability() const;

    std::int32_t registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers, HotKeyId id) override;
    void unregisterHotKey(HotKeyId id) override;
    void setEventHandler(EventHandler handler) override;
    void setKeymapChangeHandler(KeymapChangeHandler handler) override;
    void setRefusalHandler(RefusalHandler handler) override;
    void setNamedHotKeys(std::vector<NamedHotKey> named) override;
    std::optional<std::string> triggerDescription(const std::string& name) const override;
    void setTriggerChangeHandler(TriggerChangeHandler handler) override;
    std::optional<BoundCombination> boundCombination(const std::string& name) const override;
    // Asks the service (waiting at most heldElsewhereTimeout) whether an action of another
    // component has the combination among its keys.
    bool isHeldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) override;
    std::optional<std::int64_t> carbonKeyCode(std::uint32_t nativeKeycode) const override;
    std::int64_t carbonModifiers(std::uint32_t nativeState) const override;

    struct State;

private:
    KGlobalAccelHotKeyBackend() = default;
    std::shared_ptr<State> state_;
};

// Whether XDG_CURRENT_DESKTOP (a colon-separated list; null: unset) names KDE.
bool namesKdeDesktop(const char* currentDesktop);

}  // namespace platform
