#pragma once
// The X display as the end-to-end tests see it: the tray selection, the windows of a program (its
// tray icon embedded in an XEmbed tray, its menus), pointer clicks through XTest, and what the
// screen shows.

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <tuple>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_runtime.hpp"
#include "x11/x11_driver.hpp"

namespace e2e {

// What the X server holds: the tray selection's owner and the windows of a program.
class XServer {
public:
    XServer() : connection_(x11_test::Driver::connect()) {
        if (xcb_connection_has_error(connection_)) return;
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    }
    ~XServer() { xcb_disconnect(connection_); }

    bool usable() const { return !xcb_connection_has_error(connection_); }

    bool hasXEmbedTray() {
        auto name = std::string("_NET_SYSTEM_TRAY_S0");
        auto* atom = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
        if (!atom) return false;
        auto* owner = xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, atom->atom), nullptr);
        bool owned = owner && owner->owner != XCB_WINDOW_NONE;
        std::free(owner);
        std::free(atom);
        return owned;
    }

    // Whether a mapped window whose WM_CLASS names `program` sits inside another client's window
    // (embedded) rather than directly on the root window.
    bool embeddedWindowOf(const std::string& program) {
        bool found = false;
        walk(root_, [&](xcb_window_t window, xcb_window_t parent) {
            if (parent != root_ && wmClass(window).find(program) != std::string::npos && viewable(window)) found = true;
        });
        return found;
    }

    // The middle of the program's embedded (tray icon) window, in root coordinates.
    std::optional<std::pair<int, int>> embeddedWindowCentre(const std::string& program) {
        std::optional<std::pair<int, int>> centre;
        walk(root_, [&](xcb_window_t window, xcb_window_t parent) {
            if (centre || parent == root_ || wmClass(window).find(program) == std::string::npos || !viewable(window))
                return;
            auto* geometry = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr);
            auto* place = xcb_translate_coordinates_reply(
                connection_, xcb_translate_coordinates(connection_, window, root_, 0, 0), nullptr);
            if (geometry && place) centre = {place->dst_x + geometry->width / 2, place->dst_y + geometry->height / 2};
            std::free(geometry);
            std::free(place);
        });
        return centre;
    }

    // Whether one of the program's popups (a menu: override-redirect, on the root) is on screen;
    // with `minHeight`, only one at least that tall (a menu of several rows, not a tooltip).
    bool popupOf(const std::string& program, int minHeight = 0) {
        return popupGeometryOf(program, minHeight).has_value();
    }

    // Where one of the program's popups at least `minHeight` tall is on screen (the tallest), as
    // left, top, width, height.
    std::optional<std::array<int, 4>> popupGeometryOf(const std::string& program, int minHeight) {
        std::optional<std::array<int, 4>> tallest;
        walk(root_, [&](xcb_window_t window, xcb_window_t parent) {
            if (parent != root_ || wmClass(window).find(program) == std::string::npos) return;
            auto* attributes =
                xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window), nullptr);
            if (attributes && attributes->override_redirect && attributes->map_state == XCB_MAP_STATE_VIEWABLE) {
                auto* geometry = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr);
                if (geometry && geometry->height >= minHeight && (!tallest || geometry->height > (*tallest)[3]))
                    tallest = std::array<int, 4>{geometry->x, geometry->y, geometry->width, geometry->height};
                std::free(geometry);
            }
            std::free(attributes);
        });
        return tallest;
    }

    // Whether the program's menu is on screen. Its tooltip is a popup too, shown while the
    // pointer rests on the icon, but a single line: a menu has several rows.
    bool menuOf(const std::string& program) { return popupOf(program, 80); }

    // The widest mapped window of the program directly on the root window (a panel's bar), as
    // left, top, width, height.
    std::optional<std::array<int, 4>> widestTopLevelOf(const std::string& program) {
        std::optional<std::array<int, 4>> widest;
        walk(root_, [&](xcb_window_t window, xcb_window_t parent) {
            if (parent != root_ || wmClass(window).find(program) == std::string::npos || !viewable(window)) return;
            auto* geometry = xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, window), nullptr);
            if (geometry && (!widest || geometry->width > (*widest)[2]))
                widest = std::array<int, 4>{geometry->x, geometry->y, geometry->width, geometry->height};
            std::free(geometry);
        });
        return widest;
    }

    // Moves the pointer there and clicks `button` (1 left, 3 right) through XTest, holding it down
    // for `held` as a hand does (a menu that opens on the press under the pointer otherwise takes
    // the release at once for a choice).
    void click(std::pair<int, int> at, std::uint8_t button, std::chrono::milliseconds held = {}) {
        xcb_test_fake_input(connection_, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root_,
                            static_cast<std::int16_t>(at.first), static_cast<std::int16_t>(at.second), 0);
        xcb_test_fake_input(connection_, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, root_, 0, 0, 0);
        if (held.count() > 0) {
            std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
            std::this_thread::sleep_for(held);
        }
        xcb_test_fake_input(connection_, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, root_, 0, 0, 0);
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }

private:
    void walk(xcb_window_t window, const std::function<void(xcb_window_t, xcb_window_t)>& visit) {
        auto* tree = xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr);
        if (!tree) return;
        auto* children = xcb_query_tree_children(tree);
        for (int i = 0; i < xcb_query_tree_children_length(tree); ++i) {
            visit(children[i], window);
            walk(children[i], visit);
        }
        std::free(tree);
    }

    std::string wmClass(xcb_window_t window) {
        auto* reply = xcb_get_property_reply(
            connection_, xcb_get_property(connection_, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr);
        if (!reply) return {};
        std::string text(static_cast<const char*>(xcb_get_property_value(reply)),
                         static_cast<std::size_t>(xcb_get_property_value_length(reply)));
        std::free(reply);
        return text;
    }

    bool viewable(xcb_window_t window) {
        auto* attributes =
            xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window), nullptr);
        bool mapped = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(attributes);
        return mapped;
    }

    xcb_connection_t* connection_;
    xcb_window_t root_ = XCB_WINDOW_NONE;
};

// trayer as a small XEmbed tray at the top right of the screen.
inline std::vector<std::string> trayerCommand() {
    return {"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
            "--width", "120", "--heighttype", "pixel", "--height", "24"};
}

// Right-clicks the program's tray icon until its menu is on screen.
inline bool openTrayMenu(XServer& x, const std::string& program) {
    using namespace std::chrono_literals;
    return support::eventually(
        [&] {
            if (x.menuOf(program)) return true;
            if (auto centre = x.embeddedWindowCentre(program)) x.click(*centre, 3);
            return support::eventually([&] { return x.menuOf(program); }, 1s);
        },
        15s);
}

// A pixel's colour.
struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
    bool operator<(const Rgb& o) const { return std::tie(r, g, b) < std::tie(o.r, o.g, o.b); }
};

// A rectangle of the screen as the X server holds it.
struct Picture {
    int width = 0, height = 0;
    std::vector<Rgb> pixels;
    Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

inline Picture grab(std::array<int, 4> box) {
    Picture picture;
    auto* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) return picture;
    auto* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const auto [left, top, width, height] = box;
    auto* image = xcb_get_image_reply(
        connection,
        xcb_get_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, static_cast<std::int16_t>(left),
                      static_cast<std::int16_t>(top), static_cast<std::uint16_t>(width),
                      static_cast<std::uint16_t>(height), ~0u),
        nullptr);
    if (image && xcb_get_image_data_length(image) >= width * height * 4) {
        const auto* data = xcb_get_image_data(image);
        picture.width = width;
        picture.height = height;
        for (int i = 0; i < width * height; ++i)
            picture.pixels.push_back({data[i * 4 + 2], data[i * 4 + 1], data[i * 4]});
    }
    std::free(image);
    xcb_disconnect(connection);
    return picture;
}

}  // namespace e2e
