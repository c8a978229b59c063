#pragma once
// Drives the X server of the tests (Xvfb) through XTest: key presses and releases by keysym,
// lock keys, passive grabs of another client and the modifier map.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_runtime.hpp"

namespace x11_test {

// Keysyms of the keys the tests press (from the X protocol's keysym table).
namespace Keysym {
inline constexpr std::uint32_t p = 0x70;
inline constexpr std::uint32_t m = 0x6d;
inline constexpr std::uint32_t k = 0x6b;
inline constexpr std::uint32_t j = 0x6a;
inline constexpr std::uint32_t tab = 0xff09;
inline constexpr std::uint32_t escape = 0xff1b;
inline constexpr std::uint32_t shiftL = 0xffe1;
inline constexpr std::uint32_t controlL = 0xffe3;
inline constexpr std::uint32_t capsLock = 0xffe5;
inline constexpr std::uint32_t altL = 0xffe9;
inline constexpr std::uint32_t superL = 0xffeb;
inline constexpr std::uint32_t numLock = 0xff7f;
inline constexpr std::uint32_t kpEnter = 0xff8d;
}  // namespace Keysym

class Driver {
public:
    Driver() {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) return;
        connection_ = connect();
        if (xcb_connection_has_error(connection_)) return;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        auto version = xcb_test_get_version_reply(connection_, xcb_test_get_version(connection_, 2, 2), nullptr);
        xtest_ = version != nullptr;
        std::free(version);
    }
    ~Driver() {
        if (!connection_) return;
        for (auto key : std::set<xcb_keycode_t>(down_)) up(key);
        xcb_disconnect(connection_);
    }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Xvfb resets some connections opened right after another client closed its own (as the
    // previous test process just did); a moment later they succeed.
    static xcb_connection_t* connect() {
        xcb_connection_t* connection = nullptr;
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (connection) xcb_disconnect(connection);
            connection = xcb_connect(nullptr, nullptr);
            if (!xcb_connection_has_error(connection)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return connection;
    }

    // Empty when the tests can run; otherwise why not.
    std::string unavailable() const {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) return "no X display: DISPLAY is unset (scripts/test.sh starts Xvfb)";
        if (xcb_connection_has_error(connection_)) return std::string("cannot connect to the X display ") + display;
        if (!xtest_) return "the X server has no XTest extension";
        return {};
    }

    xcb_connection_t* connection() const { return connection_; }
    xcb_window_t root() const { return root_; }

    xcb_keycode_t keycode(std::uint32_t keysym) const {
        const xcb_setup_t* setup = xcb_get_setup(connection_);
        auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        auto reply = xcb_get_keyboard_mapping_reply(
            connection_, xcb_get_keyboard_mapping(connection_, setup->min_keycode, count), nullptr);
        xcb_keycode_t found = 0;
        if (reply) {
            const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
            for (int key = 0; key < count && !found; ++key) {
                for (int level = 0; level < reply->keysyms_per_keycode; ++level) {
                    if (syms[key * reply->keysyms_per_keycode + level] == keysym) {
                        found = static_cast<xcb_keycode_t>(setup->min_keycode + key);
                        break;
                    }
                }
            }
            std::free(reply);
        }
        return found;
    }

    void down(xcb_keycode_t key) {
        xcb_test_fake_input(connection_, XCB_KEY_PRESS, key, XCB_CURRENT_TIME, root_, 0, 0, 0);
        down_.insert(key);
        sync();
    }
    void up(xcb_keycode_t key) {
        xcb_test_fake_input(connection_, XCB_KEY_RELEASE, key, XCB_CURRENT_TIME, root_, 0, 0, 0);
        down_.erase(key);
        sync();
    }
    // Presses the keys in order and releases them in reverse order.
    void chord(const std::vector<std::uint32_t>& keysyms) {
        std::vector<xcb_keycode_t> keys;
        for (auto keysym : keysyms) keys.push_back(keycode(keysym));
        for (auto key : keys) down(key);
        for (auto it = keys.rbegin(); it != keys.rend(); ++it) up(*it);
    }
    void tap(std::uint32_t keysym) { chord({keysym}); }

    // The core modifier state of the keyboard (lock bits included).
    std::uint16_t modifierState() const {
        auto reply = xcb_query_pointer_reply(connection_, xcb_query_pointer(connection_, root_), nullptr);
        std::uint16_t mask = reply ? reply->mask : 0;
        std::free(reply);
        return mask;
    }

    // A passive grab of the key on the root window, as another client holds it; true when made.
    bool grabKey(xcb_keycode_t key, std::uint16_t modifiers) const {
        auto* error = xcb_request_check(connection_, xcb_grab_key_checked(connection_, 0, root_, modifiers, key,
                                                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return error == nullptr;
    }
    void ungrabKey(xcb_keycode_t key, std::uint16_t modifiers) const {
        xcb_ungrab_key(connection_, key, root_, modifiers);
        sync();
    }

    // Sets the highest keycode's keysyms to what they are: the server announces a keyboard mapping
    // change all the same.
    void touchKeymap() const {
        const xcb_setup_t* setup = xcb_get_setup(connection_);
        xcb_keycode_t key = setup->max_keycode;
        auto reply = xcb_get_keyboard_mapping_reply(connection_, xcb_get_keyboard_mapping(connection_, key, 1), nullptr);
        if (!reply) return;
        xcb_change_keyboard_mapping(connection_, 1, key, reply->keysyms_per_keycode,
                                    xcb_get_keyboard_mapping_keysyms(reply));
        std::free(reply);
        sync();
    }

    // The modifier map: keycodes_per_modifier keycodes for each of the eight modifiers.
    std::vector<xcb_keycode_t> modifierMap(int& perModifier) const {
        auto reply = xcb_get_modifier_mapping_reply(connection_, xcb_get_modifier_mapping(connection_), nullptr);
        if (!reply) return {};
        perModifier = reply->keycodes_per_modifier;
        std::vector<xcb_keycode_t> map(xcb_get_modifier_mapping_keycodes(reply),
                                       xcb_get_modifier_mapping_keycodes(reply) + 8 * perModifier);
        std::free(reply);
        return map;
    }
    bool setModifierMap(std::vector<xcb_keycode_t>& map, int perModifier) const {
        auto result = xcb_set_modifier_mapping_reply(
            connection_, xcb_set_modifier_mapping(connection_, static_cast<std::uint8_t>(perModifier), map.data()),
            nullptr);
        bool ok = result && result->status == XCB_MAPPING_STATUS_SUCCESS;
        std::free(result);
        return ok;
    }

    // Waits until the server has handled every request sent so far.
    void sync() const { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    bool xtest_ = false;
    std::set<xcb_keycode_t> down_;
};

inline void runFor(boost::asio::io_context& io, std::chrono::milliseconds duration) {
    support::runUntil(io, [] { return false; }, duration);
}

}  // namespace x11_test
