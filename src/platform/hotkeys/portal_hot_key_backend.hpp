#pragma once
// Hot keys of a Wayland session, through the desktop portal's global shortcuts
// (org.freedesktop.portal.GlobalShortcuts on the session bus). The desktop, not the application,
// decides the keys: every name in use is offered as one shortcut (its id the name, its preferred
// trigger the stored combination) in one session, and the desktop may ask the user, change the
// trigger or refuse. Activated and Deactivated become presses and releases of the registrations
// whose combination the name prefers; ShortcutsChanged updates the trigger descriptions.
//
// Start-up: the application id is registered where the portal offers its registry (older portals
// go on without), then the portal is asked whether it offers global shortcuts. Where it does not,
// the session is said once to have no global keys and everything goes to the fallback backend
// (the X11 one, which sees keys while an X11 window has focus). Every call is asynchronous with a
// time-out; nothing waits for the portal. Registrations are routing only: suspending and taking
// them again never reaches the portal, and only a change of the names or of their combinations
// binds anew (the portal binds a session's shortcuts once, so that takes a new session).
//
// Binding: the shortcuts go in CreateSession's options as well (desktops of the interface's early
// draft bind only those; newer front ends filter them out), and where its answer holds every name
// nothing more is asked. Otherwise ListShortcuts says what the desktop already holds for the
// application, and BindShortcuts asks only for the rest, so that a second start asks the user
// nothing. A portal that refuses the session is told once, not as a refused key; binding is tried
// again later and when the portal restarts. An answer that binds nothing without refusing leaves
// the names unbound until the desktop's settings assign them (ShortcutsChanged).

#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/hotkeys/hot_key_backend.hpp"

namespace platform {

class PortalHotKeyBackend final : public HotKeyBackend, public std::enable_shared_from_this<PortalHotKeyBackend> {
public:
    struct Options {
        // The bus of the portal (a D-Bus address); empty: the session bus.
        std::string busAddress;
        // How long each call may wait for its reply.
        std::chrono::milliseconds callTimeout{std::chrono::seconds(25)};
        // What the desktop shows for each name (the name itself where none is given).
        std::map<std::string, std::string> descriptions;
        // Registered with the portal's registry where it has one.
        std::string applicationId = "kestro";
        // Whether the session has an X11 display beside Wayland (only for the text said once
        // without a portal).
        bool withX11 = false;
        // The token of every shortcut session: desktops that name the application's shortcuts
        // after the session (KDE Plasma) keep one name across starts and new bindings.
        std::string sessionToken = "kestro";
        // One line about the desktop's answer (a registry that did not take the application id,
        // shortcuts left without keys); standard output when empty.
        std::function<void(const std::string& line)> tell;
        // A portal that refused the shortcut session, and a session with no global shortcuts at
        // all, each told once; standard output when empty.
        std::function<void(const std::string& summary, const std::string& body)> warn;
        // After a refused session, binding is tried again after this long, then twice as long each
        // time, at most every ten minutes (and at once when the portal restarts).
        std::chrono::milliseconds retryDelay{std::chrono::seconds(30)};
    };

    enum class Availability { probing, portal, fallback };

    // Connects on `mainExecutor` (the bus's descriptor and time-outs are awaited on `ioExecutor`).
    // `fallback` (may be null) takes over without a portal.
    static std::shared_ptr<PortalHotKeyBackend> create(boost::asio::any_io_executor mainExecutor,
                                                       boost::asio::any_io_executor ioExecutor, Options options,
                                                       std::shared_ptr<HotKeyBackend> fallback);
    ~PortalHotKeyBackend() override;
    PortalHotKeyBackend(const PortalHotKeyBackend&) = delete;
    PortalHotKeyBackend& operator=(const PortalHotKeyBackend&) = delete;

    Availability availability() const;
    // The triggers the portal reported for the names it bound, by name.
    std::map<std::string, std::string> boundTriggers() const;

    std::int32_t registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers, HotKeyId id) override;
    void unregisterHotKey(HotKeyId id) override;
    void setEventHandler(EventHandler handler) override;
    void setKeymapChangeHandler(KeymapChangeHandler handler) override;
    void setRefusalHandler(RefusalHandler handler) override;
    void setNamedHotKeys(std::vector<NamedHotKey> named) override;
    std::optional<std::string> triggerDescription(const std::string& name) const override;
    void setTriggerChangeHandler(TriggerChangeHandler handler) override;
    bool isHeldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) override;
    std::optional<std::int64_t> carbonKeyCode(std::uint32_t nativeKeycode) const override;
    std::int64_t carbonModifiers(std::uint32_t nativeState) const override;

    struct State;

private:
    PortalHotKeyBackend() = default;
    std::shared_ptr<State> state_;
};

}  // namespace platform
