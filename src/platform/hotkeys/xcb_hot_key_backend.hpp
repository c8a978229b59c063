#pragma once
// Hot keys of an X11 session: passive key grabs on the root window, one per registration and lock
// state (none, CapsLock, NumLock, both), made on a connection of their own whose events are read
// on the main executor. Carbon key codes are resolved to keycodes through the XKB key names of
// the server's keymap; control, option, shift and command become Control, the Alt modifier,
// Shift and the Super modifier as the server's modifier map assigns them. Keymap changes re-grab.

#include <boost/asio/any_io_executor.hpp>
#include <functional>
#include <memory>
#include <string>

#include "platform/hotkeys/hot_key_backend.hpp"
#include "platform/hotkeys/keyboard_layout.hpp"

namespace platform {

class XcbHotKeyBackend final : public HotKeyBackend,
                               public KeyboardLayout,
                               public std::enable_shared_from_this<XcbHotKeyBackend> {
public:
    // Connects to `display` (empty: the DISPLAY of the environment). Without an X server every
    // registration reports HotKeyStatus::noConnection. In a Wayland session (see
    // isWaylandSession) that is said once per process on standard output, unless
    // `sayUnderWayland` is false (another backend serves the session first); where the session
    // offers X11 as well (XWayland), the grabs are still made, but they see keys only while a
    // window of an X11 client has focus. The connection's descriptor is watched on `ioExecutor`
    // (the shared executor; empty: the main one), everything else happens on `mainExecutor`.
    static std::shared_ptr<XcbHotKeyBackend> create(boost::asio::any_io_executor mainExecutor,
                                                    boost::asio::any_io_executor ioExecutor = {},
                                                    const std::string& display = {},
                                                    bool sayUnderWayland = true);
    ~XcbHotKeyBackend() override;
    XcbHotKeyBackend(const XcbHotKeyBackend&) = delete;
    XcbHotKeyBackend& operator=(const XcbHotKeyBackend&) = delete;

    bool isConnected() const;

    std::int32_t registerHotKey(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers,
                                HotKeyId id) override;
    void unregisterHotKey(HotKeyId id) override;
    void setEventHandler(EventHandler handler) override;
    void setKeymapChangeHandler(KeymapChangeHandler handler) override;
    // Tries the grab from a scratch connection of its own: another client's grab refuses it.
    bool isHeldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) override;

    // The server's keyboard: characters of the active layout (asked of the server at each call);
    // without a server, the session's layout (sessionKeyboardLayout()).
    std::shared_ptr<KeyboardLayout> keyboardLayout();
    std::optional<std::string> character(std::int64_t carbonKeyCode) const override;

    // For key events that reach the application itself (e.g. while one of its menus holds the
    // keyboard): the Carbon key code of an X keycode and the Carbon modifiers of an event state.
    std::optional<std::int64_t> carbonKeyCode(std::uint32_t xKeycode) const override;
    std::int64_t carbonModifiers(std::uint32_t xState) const override;

    struct State;

private:
    XcbHotKeyBackend(boost::asio::any_io_executor mainExecutor, boost::asio::any_io_executor ioExecutor);
    std::unique_ptr<State> state_;
};

// Whether the desktop session is a Wayland one: XDG_SESSION_TYPE says "wayland", or it does not
// say "x11" and WAYLAND_DISPLAY is set. A set DISPLAY says nothing (Wayland sessions set it for
// XWayland). Null stands for an unset variable.
bool isWaylandSession(const char* sessionType, const char* waylandDisplay);

// Says once per process that this Wayland session has no global keys for the app (`withX11`:
// only while an X11 window has focus), and that calls are started from the menu: through `warn`
// (a summary and a body), else as one line on standard output.
void sayNoGlobalKeysUnderWaylandOnce(
    bool withX11, const std::function<void(const std::string& summary, const std::string& body)>& warn = {});

}  // namespace platform
