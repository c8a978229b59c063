#include "platform/hotkeys/xcb_hot_key_backend.hpp"

#include <xcb/xcb.h>
// The XKB protocol header names a field "explicit".
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstdlib>
#include <map>
#include <string_view>
#include <vector>

#include "platform/hotkeys/carbon_key_names.hpp"
#include "platform/hotkeys/session_keyboard_layout.hpp"
#include "platform/hotkeys/xkb_keyboard_layout.hpp"
#include "platform/runtime/print.hpp"

namespace asio = boost::asio;

namespace platform {
namespace {

// The eight core modifiers an event state carries (pointer buttons are above them).
constexpr std::uint16_t coreModifierBits = 0xFF;

bool keysymIn(xkb_keymap* keymap, xkb_keycode_t key, std::initializer_list<xkb_keysym_t> wanted) {
    xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap, key);
    for (xkb_layout_index_t layout = 0; layout < layouts; ++layout) {
        xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap, key, layout);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            int count = xkb_keymap_key_get_syms_by_level(keymap, key, layout, level, &syms);
            for (int i = 0; i < count; ++i) {
                for (auto sym : wanted) {
                    if (syms[i] == sym) return true;
                }
            }
        }
    }
    return false;
}

}  // namespace

struct XcbHotKeyBackend::State {
    struct Registration {
        HotKeyId id;
        std::uint32_t carbonKeyCode = 0;
        std::uint32_t carbonModifiers = 0;
        xcb_keycode_t keycode = 0;
        std::uint16_t modifiers = 0;
        std::uint16_t numLockMask = 0;  // the NumLock modifier when it was grabbed
        bool grabbed = false;
    };

    State(asio::any_io_executor executor, asio::any_io_executor ioExecutor)
        : executor(executor), watcher(ioExecutor ? ioExecutor : executor) {}

    ~State() {
        if (watcher.is_open()) watcher.release();
        if (keymap) xkb_keymap_unref(keymap);
        if (context) xkb_context_unref(context);
        if (connection) xcb_disconnect(connection);
    }

    asio::any_io_executor executor;
    asio::posix::stream_descriptor watcher;
    std::weak_ptr<XcbHotKeyBackend> owner;

    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xkb_context* context = nullptr;
    xkb_keymap* keymap = nullptr;
    std::int32_t deviceId = -1;
    std::uint8_t xkbEventBase = 0;

    std::uint16_t altMask = 0;
    std::uint16_t superMask = 0;
    std::uint16_t numLockMask = 0;

    std::map<std::uint64_t, Registration> registrations;
    std::map<xcb_keycode_t, HotKeyId> pressed;  // keys held down since a grabbed press
    EventHandler handler;
    KeymapChangeHandler keymapHandler;
    std::string display;  // as connected to (empty: DISPLAY)
    bool drainPosted = false;
    bool reloadPosted = false;

    bool connected() const { return connection && xcb_connection_has_error(connection) == 0; }

    bool connect(const std::string& name) {
        display = name;
        int screenNumber = 0;
        connection = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
        if (xcb_connection_has_error(connection)) return false;
        auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
        for (int i = 0; i < screenNumber && screens.rem; ++i) xcb_screen_next(&screens);
        if (!screens.rem) return false;
        root = screens.data->root;

        if (!xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION,
                                         XKB_X11_MIN_MINOR_XKB_VERSION,
                                         XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr,
                                         &xkbEventBase, nullptr)) {
            return false;
        }
        deviceId = xkb_x11_get_core_keyboard_device_id(connection);
        context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        if (deviceId < 0 || !context || !loadKeymap()) return false;

        // One key-down per press: the server then sends no release between repeated presses.
        auto flags = xcb_xkb_per_client_flags(
            connection, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT,
            XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, 0, 0, 0);
        std::free(xcb_xkb_per_client_flags_reply(connection, flags, nullptr));

        constexpr std::uint16_t mapParts =
            XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP |
            XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS |
            XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
        xcb_xkb_select_events_details_t details{};
        details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
        details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
        std::free(xcb_request_check(
            connection,
            xcb_xkb_select_events_aux_checked(
                connection, static_cast<xcb_xkb_device_spec_t>(deviceId),
                XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY, 0, 0,
                mapParts, mapParts, &details)));
        return connected();
    }

    // Reads the keymap and the modifier map of the server.
    bool loadKeymap() {
        xkb_keymap* fresh = xkb_x11_keymap_new_from_device(context, connection, deviceId,
                                                           XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (!fresh) return false;
        if (keymap) xkb_keymap_unref(keymap);
        keymap = fresh;

        altMask = superMask = numLockMask = 0;
        auto reply = xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr);
        if (!reply) return true;
        const xcb_keycode_t* keycodes = xcb_get_modifier_mapping_keycodes(reply);
        int perModifier = reply->keycodes_per_modifier;
        // Shift, Lock and Control are fixed; Alt, Super and NumLock sit on whichever of Mod1-Mod5
        // holds their keys.
        for (int modifier = 3; modifier < 8; ++modifier) {
            auto bit = static_cast<std::uint16_t>(1u << modifier);
            for (int i = 0; i < perModifier; ++i) {
                xcb_keycode_t key = keycodes[modifier * perModifier + i];
                if (key == 0) continue;
                if (keysymIn(keymap, key, {XKB_KEY_Alt_L, XKB_KEY_Alt_R})) altMask |= bit;
                if (keysymIn(keymap, key, {XKB_KEY_Super_L, XKB_KEY_Super_R})) superMask |= bit;
                if (keysymIn(keymap, key, {XKB_KEY_Num_Lock})) numLockMask |= bit;
            }
        }
        std::free(reply);
        return true;
    }

    // Resolves a Carbon combination to a keycode and core modifiers.
    std::int32_t resolve(Registration& registration) const {
        auto name = xkbKeyName(registration.carbonKeyCode);
        if (!name || !keymap) return HotKeyStatus::noSuchKey;
        xkb_keycode_t key = xkb_keymap_key_by_name(keymap, std::string(*name).c_str());
        if (key == XKB_KEYCODE_INVALID || key > 255) return HotKeyStatus::noSuchKey;

        std::uint32_t carbon = registration.carbonModifiers;
        constexpr std::uint32_t known = carbonCommand | carbonShift | carbonOption | carbonControl;
        if (carbon & ~known) return HotKeyStatus::unsupportedModifier;  // function and foreign bits
        std::uint16_t modifiers = 0;
        if (carbon & carbonControl) modifiers |= XCB_MOD_MASK_CONTROL;
        if (carbon & carbonShift) modifiers |= XCB_MOD_MASK_SHIFT;
        if (carbon & carbonOption) {
            if (!altMask) return HotKeyStatus::unsupportedModifier;
            modifiers |= altMask;
        }
        if (carbon & carbonCommand) {
            if (!superMask) return HotKeyStatus::unsupportedModifier;
            modifiers |= superMask;
        }
        registration.keycode = static_cast<xcb_keycode_t>(key);
        registration.modifiers = modifiers;
        return HotKeyStatus::ok;
    }

    static std::vector<std::uint16_t> lockVariants(std::uint16_t modifiers, std::uint16_t numLock) {
        std::vector<std::uint16_t> variants{modifiers, static_cast<std::uint16_t>(modifiers | XCB_MOD_MASK_LOCK)};
        if (numLock && !(modifiers & numLock)) {
            variants.push_back(modifiers | numLock);
            variants.push_back(modifiers | numLock | XCB_MOD_MASK_LOCK);
        }
        return variants;
    }

    // Grabs the combination in every lock state; all or nothing.
    std::int32_t grab(Registration& registration) {
        registration.numLockMask = numLockMask;
        std::vector<xcb_void_cookie_t> cookies;
        for (auto modifiers : lockVariants(registration.modifiers, registration.numLockMask)) {
            cookies.push_back(xcb_grab_key_checked(connection, 0, root, modifiers, registration.keycode,
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        }
        std::int32_t status = HotKeyStatus::ok;
        for (auto cookie : cookies) {
            if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
                if (status == HotKeyStatus::ok) status = error->error_code;
                std::free(error);
            }
        }
        if (!connected()) status = HotKeyStatus::noConnection;
        if (status != HotKeyStatus::ok) ungrabVariants(registration);
        registration.grabbed = status == HotKeyStatus::ok;
        postDrain();
        return status;
    }

    void ungrabVariants(const Registration& registration) {
        for (auto variant : lockVariants(registration.modifiers, registration.numLockMask)) {
            xcb_ungrab_key(connection, registration.keycode, root, variant);
        }
        xcb_flush(connection);
    }

    void ungrab(const Registration& registration) {
        if (!registration.grabbed) return;
        // Another registration of the same combination still needs the grab.
        for (const auto& [key, other] : registrations) {
            if (&other != &registration && other.grabbed && other.keycode == registration.keycode &&
                other.modifiers == registration.modifiers) {
                return;
            }
        }
        ungrabVariants(registration);
    }

    // After a keymap or modifier-map change the same keys may have other keycodes or modifiers.
    // The server also announces a new keyboard whenever input switches between devices (a real
    // keyboard and XTest, say); combinations that resolve as before keep their grab untouched, so
    // that a key held meanwhile is neither lost nor pressed twice. A combination that no longer
    // resolves or whose grab is refused now is dropped; the handler hears of every change.
    void refreshGrabs() {
        if (!loadKeymap()) return;
        std::vector<HotKeyLoss> lost;
        for (auto& [key, registration] : registrations) {
            Registration updated = registration;
            std::int32_t status = resolve(updated);
            if (status == HotKeyStatus::ok && registration.grabbed && updated.keycode == registration.keycode &&
                updated.modifiers == registration.modifiers && registration.numLockMask == numLockMask) {
                continue;
            }
            if (registration.grabbed) ungrab(registration);
            std::erase_if(pressed, [&](const auto& entry) { return entry.second == registration.id; });
            updated.grabbed = false;
            registration = updated;
            if (status == HotKeyStatus::ok) status = grab(registration);
            if (status != HotKeyStatus::ok) lost.push_back({registration.id, status});
        }
        for (const auto& loss : lost) registrations.erase(idKey(loss.id));
        if (auto copy = keymapHandler) copy(lost);
    }

    // The combination grabbed and let go at once from a connection of its own.
    bool heldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) {
        Registration probe{{}, carbonKeyCode, carbonModifiers};
        if (!connected() || resolve(probe) != HotKeyStatus::ok) return false;
        xcb_connection_t* scratch = xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
        bool held = false;
        if (!xcb_connection_has_error(scratch)) {
            xcb_window_t scratchRoot = xcb_setup_roots_iterator(xcb_get_setup(scratch)).data->root;
            auto variants = lockVariants(probe.modifiers, numLockMask);
            std::vector<xcb_void_cookie_t> cookies;
            for (auto modifiers : variants) {
                cookies.push_back(xcb_grab_key_checked(scratch, 0, scratchRoot, modifiers, probe.keycode,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
            for (auto cookie : cookies) {
                if (xcb_generic_error_t* error = xcb_request_check(scratch, cookie)) {
                    held = held || error->error_code == HotKeyStatus::accessDenied;
                    std::free(error);
                }
            }
        }
        // Closing the connection releases whatever it grabbed.
        xcb_disconnect(scratch);
        return held;
    }

    std::uint16_t significant(std::uint16_t state) const {
        return state & coreModifierBits & ~(XCB_MOD_MASK_LOCK | numLockMask);
    }

    void emit(HotKeyId id, HotKeyEventKind kind) {
        if (auto copy = handler) copy(id, kind);
    }

    void handleEvent(xcb_generic_event_t* event) {
        std::uint8_t type = event->response_type & 0x7F;
        if (type == XCB_KEY_PRESS) {
            auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
            std::uint16_t modifiers = significant(press->state);
            for (const auto& [key, registration] : registrations) {
                if (!registration.grabbed || registration.keycode != press->detail ||
                    registration.modifiers != modifiers) {
                    continue;
                }
                if (pressed.count(press->detail)) return;  // auto-repeat of a held key
                pressed[press->detail] = registration.id;
                emit(registration.id, HotKeyEventKind::pressed);
                return;
            }
        } else if (type == XCB_KEY_RELEASE) {
            // The release belongs to the combination that was pressed, whatever modifiers were
            // let go of first.
            auto* release = reinterpret_cast<xcb_key_release_event_t*>(event);
            auto found = pressed.find(release->detail);
            if (found == pressed.end()) return;
            HotKeyId id = found->second;
            pressed.erase(found);
            emit(id, HotKeyEventKind::released);
        } else if (type == XCB_MAPPING_NOTIFY) {
            auto* mapping = reinterpret_cast<xcb_mapping_notify_event_t*>(event);
            if (mapping->request != XCB_MAPPING_POINTER) postReload();
        } else if (xkbEventBase && type == xkbEventBase) {
            auto* any = reinterpret_cast<xcb_xkb_map_notify_event_t*>(event);
            if (any->xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || any->xkbType == XCB_XKB_MAP_NOTIFY) {
                postReload();
            }
        }
    }

    // Events may already sit in xcb's queue after a request with a reply; the descriptor then
    // shows nothing to read, so they are fetched on the executor as well.
    void postDrain() {
        if (drainPosted) return;
        drainPosted = true;
        asio::post(executor, [weak = owner] {
            if (auto self = weak.lock()) {
                self->state_->drainPosted = false;
                self->state_->drain();
            }
        });
    }

    void postReload() {
        if (reloadPosted) return;
        reloadPosted = true;
        asio::post(executor, [weak = owner] {
            if (auto self = weak.lock()) {
                self->state_->reloadPosted = false;
                if (self->state_->connected()) self->state_->refreshGrabs();
            }
        });
    }

    void drain() {
        if (!connection) return;
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            handleEvent(event);
            std::free(event);
        }
    }

    // Readiness is awaited on the I/O executor; the events are read on the main one.
    void watch() {
        if (!watcher.is_open() || !connected()) return;
        watcher.async_wait(asio::posix::descriptor_base::wait_read,
                           [weak = owner, executor = executor](boost::system::error_code error) {
                               if (error) return;
                               asio::post(executor, [weak] {
                                   auto self = weak.lock();
                                   if (!self) return;
                                   self->state_->drain();
                                   self->state_->watch();
                               });
                           });
    }
};

XcbHotKeyBackend::XcbHotKeyBackend(asio::any_io_executor mainExecutor, asio::any_io_executor ioExecutor)
    : state_(std::make_unique<State>(mainExecutor, ioExecutor)) {}

XcbHotKeyBackend::~XcbHotKeyBackend() = default;

std::shared_ptr<XcbHotKeyBackend> XcbHotKeyBackend::create(asio::any_io_executor mainExecutor,
                                                           asio::any_io_executor ioExecutor,
                                                           const std::string& display, bool sayUnderWayland) {
    std::shared_ptr<XcbHotKeyBackend> backend(new XcbHotKeyBackend(mainExecutor, ioExecutor));
    State& state = *backend->state_;
    state.owner = backend;
    const char* x11 = std::getenv("DISPLAY");
    bool hasX11 = !display.empty() || (x11 && *x11);
    if (sayUnderWayland && isWaylandSession(std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"))) {
        sayNoGlobalKeysUnderWaylandOnce(hasX11);
    }
    if (!hasX11) return backend;
    if (!state.connect(display)) {
        if (state.connection) {
            xcb_disconnect(state.connection);
            state.connection = nullptr;
        }
        return backend;
    }
    state.watcher.assign(xcb_get_file_descriptor(state.connection));
    state.watch();
    state.postDrain();
    return backend;
}

bool XcbHotKeyBackend::isConnected() const { return state_->connected(); }

std::int32_t XcbHotKeyBackend::registerHotKey(std::uint32_t carbonKeyCode,
                                              std::uint32_t carbonModifiers, HotKeyId id) {
    if (!state_->connected()) return HotKeyStatus::noConnection;
    if (state_->registrations.count(idKey(id))) return HotKeyStatus::idInUse;
    State::Registration registration{id, carbonKeyCode, carbonModifiers};
    if (auto status = state_->resolve(registration); status != HotKeyStatus::ok) return status;
    if (auto status = state_->grab(registration); status != HotKeyStatus::ok) return status;
    state_->registrations.emplace(idKey(id), registration);
    return HotKeyStatus::ok;
}

void XcbHotKeyBackend::unregisterHotKey(HotKeyId id) {
    auto found = state_->registrations.find(idKey(id));
    if (found == state_->registrations.end()) return;
    if (state_->connected()) state_->ungrab(found->second);
    state_->registrations.erase(found);
    std::erase_if(state_->pressed, [&](const auto& entry) { return entry.second == id; });
}

void XcbHotKeyBackend::setEventHandler(EventHandler handler) { state_->handler = std::move(handler); }

void XcbHotKeyBackend::setKeymapChangeHandler(KeymapChangeHandler handler) {
    state_->keymapHandler = std::move(handler);
}

bool XcbHotKeyBackend::isHeldElsewhere(std::uint32_t carbonKeyCode, std::uint32_t carbonModifiers) {
    return state_->heldElsewhere(carbonKeyCode, carbonModifiers);
}

std::shared_ptr<KeyboardLayout> XcbHotKeyBackend::keyboardLayout() { return shared_from_this(); }

std::optional<std::string> XcbHotKeyBackend::character(std::int64_t carbonKeyCode) const {
    // Without an X server the user's layout is still the compositor's or the session's.
    if (!state_->connected() || !state_->keymap) {
        const auto* session = sessionKeyboardLayout();
        return session ? session->character(carbonKeyCode) : std::nullopt;
    }
    std::uint32_t group = 0;
    auto reply = xcb_xkb_get_state_reply(
        state_->connection,
        xcb_xkb_get_state(state_->connection, static_cast<xcb_xkb_device_spec_t>(state_->deviceId)),
        nullptr);
    if (reply) {
        group = reply->group;
        std::free(reply);
    }
    state_->postDrain();
    return xkbLayoutCharacter(state_->keymap, group, carbonKeyCode);
}

std::optional<std::int64_t> XcbHotKeyBackend::carbonKeyCode(std::uint32_t xKeycode) const {
    if (!state_->keymap) return std::nullopt;
    const char* name = xkb_keymap_key_get_name(state_->keymap, xKeycode);
    if (!name) return std::nullopt;
    return carbonKeyCodeForXkbName(name);
}

std::int64_t XcbHotKeyBackend::carbonModifiers(std::uint32_t xState) const {
    std::int64_t carbon = 0;
    if (xState & XCB_MOD_MASK_CONTROL) carbon |= carbonControl;
    if (xState & XCB_MOD_MASK_SHIFT) carbon |= carbonShift;
    if (state_->altMask && (xState & state_->altMask)) carbon |= carbonOption;
    if (state_->superMask && (xState & state_->superMask)) carbon |= carbonCommand;
    return carbon;
}

void sayNoGlobalKeysUnderWaylandOnce(
    bool withX11, const std::function<void(const std::string& summary, const std::string& body)>& warn) {
    static std::atomic<bool> said{false};
    if (said.exchange(true)) return;
    const std::string summary = "Global shortcuts are not available";
    std::string body = "This Wayland desktop offers applications no global keyboard shortcuts";
    body += withX11 ? "; Kestro's work only while a window of an X11 application has focus. "
                    : ". ";
    body += "Start and end calls from Kestro's menu in the panel.";
    if (warn) return warn(summary, body);
    print(summary + ". " + body);
}

bool isWaylandSession(const char* sessionType, const char* waylandDisplay) {
    // A compositor started by hand from a console leaves the type at "tty"; one nested in an X11
    // session keeps "x11".
    std::string_view type = sessionType ? sessionType : "";
    if (type == "wayland") return true;
    return type != "x11" && waylandDisplay && *waylandDisplay;
}

}  // namespace platform
