// The real `kestro` binary under Xfce's panel, a second real StatusNotifier host beside Debian's
// gtk-sni-tray: its systray plugin is the watcher and the host, and draws Kestro's menu itself
// from the DBusMenu export. The panel runs with a configuration the test writes (one panel holding
// the systray plugin, dark or light) and its own settings daemon (xfconfd) on the test's bus.

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "e2e-app/child_process.hpp"
#include "e2e-app/desktop_session.hpp"
#include "e2e-app/x_desktop.hpp"
#include "x11/x11_driver.hpp"

namespace {

using e2e::grab;
using e2e::Picture;
using e2e::Rgb;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using e2e::fileText;
using e2e::onPath;

constexpr const char* panelProgram = "xfce4-panel";
constexpr const char* xfconfd = "/usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd";

// One panel along the top of the screen holding the systray plugin alone.
std::string panelConfiguration(bool dark) {
    return std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value=")") +
           (dark ? "true" : "false") + R"("/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";
}


double luminance(Rgb c) {
    auto channel = [](int v) {
        double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.r) + 0.7152 * channel(c.g) + 0.0722 * channel(c.b);
}

double contrast(Rgb a, Rgb b) {
    auto la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The icons at the left of a menu's rows and how each stands out from the menu's background: the
// strongest contrast of any of its pixels (the glyph's core, not its smoothed edge).
struct IconContrast {
    Rgb background{};
    std::vector<double> icons;
};

IconContrast iconContrasts(const Picture& menu, int iconLeft, int iconRight) {
    IconContrast result;
    std::map<Rgb, int> counts;
    for (const auto& pixel : menu.pixels) ++counts[pixel];
    result.background = std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
                            return a.second < b.second;
                        })->first;
    auto differs = [&](Rgb c) { return contrast(c, result.background) > 1.15; };
    double strongest = 0;
    bool inIcon = false;
    for (int y = 0; y < menu.height; ++y) {
        // A separator runs across the menu: not an icon.
        int across = 0;
        for (int x = 0; x < menu.width; ++x) across += differs(menu.at(x, y));
        bool marked = false;
        double row = 0;
        if (across < menu.width / 2) {
            for (int x = iconLeft; x < std::min(iconRight, menu.width); ++x) {
                auto c = contrast(menu.at(x, y), result.background);
                if (c > 1.15) marked = true;
                row = std::max(row, c);
            }
        }
        if (marked) {
            inIcon = true;
            strongest = std::max(strongest, row);
        } else if (inIcon) {
            result.icons.push_back(strongest);
            inIcon = false;
            strongest = 0;
        }
    }
    return result;
}

class XfcePanel : public e2e::DesktopSession {
protected:
    void SetUp() override {
        DesktopSession::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (!onPath(panelProgram) || !fs::exists(xfconfd))
            GTEST_SKIP() << "xfce4-panel or xfconfd is not installed (scripts/install-deps.sh installs them)";
        if (!onPath("dbus-monitor")) GTEST_SKIP() << "dbus-monitor is not installed (the dbus package has it)";
        if (x.widestTopLevelOf(panelProgram)) GTEST_SKIP() << "another xfce4-panel is on the display";
        if (auto why = keys.unavailable(); !why.empty()) GTEST_SKIP() << why;
    }

    // The panel's programs: the test's bus, a home and configuration of their own, no system-wide
    // panel configuration (it would add the default panels).
    std::map<std::string, std::string> panelEnvironment() const {
        return {{"DBUS_SESSION_BUS_ADDRESS", busAddress()},
                {"HOME", (root / "panel-home").string()},
                {"XDG_CONFIG_HOME", (root / "panel-config").string()},
                {"XDG_CONFIG_DIRS", (root / "panel-system").string()},
                {"XDG_CACHE_HOME", (root / "panel-home" / ".cache").string()},
                {"XDG_RUNTIME_DIR", (root / "runtime").string()},
                {"SESSION_MANAGER", ""}};
    }

    // Whether a name has an owner on the test's bus. (Each question has a log of its own: a log
    // is written on, not over.)
    bool nameOwned(const std::string& name) {
        const auto log = root / ("name-" + std::to_string(++questions) + ".log");
        e2e::ChildProcess ask({"dbus-send", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                              {{"DBUS_SESSION_BUS_ADDRESS", busAddress()}}, log);
        const bool owned = ask.succeeds(10s) && fileText(log).find("boolean true") != std::string::npos;
        fs::remove(log);
        return owned;
    }

    // Runs a command of the panel's (xfconf-query, dbus-send) to its end; its output is in tool.log.
    bool run(const std::vector<std::string>& command) {
        fs::remove(root / "tool.log");
        e2e::ChildProcess tool(command, panelEnvironment(), root / "tool.log");
        return tool.succeeds(15s);
    }

    // The command line of the process owning a bus name.
    std::string ownerOf(const std::string& name) {
        run({"dbus-send", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
             "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + name});
        auto reply = fileText(root / "tool.log");
        auto at = reply.find("uint32 ");
        if (at == std::string::npos) return reply;
        auto pid = reply.substr(at + 7);
        pid = pid.substr(0, pid.find_first_of(" \n"));
        auto command = fileText("/proc/" + pid + "/cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        return name + " is owned by " + pid + ": " + command;
    }

    // Writes the configuration and starts xfconfd with it. A panel that finds no settings daemon
    // has the bus start one, with the bus's environment: the bus is given the panel's first.
    void startSettings() {
        const auto channel = root / "panel-config" / "xfce4" / "xfconf" / "xfce-perchannel-xml";
        fs::create_directories(channel);
        fs::create_directories(root / "panel-system");
        fs::create_directories(root / "panel-home");
        std::ofstream(channel / "xfce4-panel.xml") << panelConfiguration(true);
        std::string variables;
        for (const auto& [name, value] : panelEnvironment()) {
            if (name.rfind("XDG_", 0) == 0 || name == "HOME") variables += (variables.empty() ? "" : ",") + name + "," + value;
        }
        ASSERT_TRUE(run({"dbus-send", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus.UpdateActivationEnvironment", "dict:string:string:" + variables}))
            << fileText(root / "tool.log");
        settings.emplace(std::vector<std::string>{xfconfd}, panelEnvironment(), root / "xfconfd.log");
        ASSERT_TRUE(support::eventually([&] { return nameOwned("org.xfce.Xfconf"); }, 15s))
            << fileText(root / "xfconfd.log");
    }

    // Starts the panel, dark or light, and waits for its watcher and its bar.
    void startPanel(bool dark) {
        ASSERT_TRUE(run({"xfconf-query", "-c", "xfce4-panel", "-p", "/panels/dark-mode", "-s", dark ? "true" : "false"}))
            << fileText(root / "tool.log");
        panel.emplace(std::vector<std::string>{panelProgram, "--disable-wm-check"}, panelEnvironment(),
                      root / "panel.log");
        ASSERT_TRUE(support::eventually([&] { return nameOwned("org.kde.StatusNotifierWatcher"); }, 20s))
            << fileText(root / "panel.log");
        ASSERT_TRUE(support::eventually(
            [&] {
                auto bar = x.widestTopLevelOf(panelProgram);
                return bar && (*bar)[2] > 200;
            },
            20s))
            << fileText(root / "panel.log");
    }

    void storeCredential() {
        e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, appEnvironment(),
                                root / "set-credential.log", "app-credential\n");
        ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");
    }

    // The exported menu as a host reads it, each entry with its id and icon name.
    std::string layout() {
        fs::remove(root / "layout.log");
        e2e::ChildProcess reader({KESTRO_TRAY_HOST_PATH, "--layout", "--ids"},
                                 {{"DBUS_SESSION_BUS_ADDRESS", busAddress()}, {"QT_QPA_PLATFORM", "offscreen"}},
                                 root / "layout.log");
        reader.waitForExit(10s);
        return fileText(root / "layout.log");
    }
    bool layoutHas(const std::string& part, std::chrono::milliseconds limit = 20s) {
        return support::eventually([&] { return layout().find(part) != std::string::npos; }, limit);
    }

    // The entry lines of the first item's top menu ("1|..."). (The panel's watcher may list the
    // item twice, once for each time the app registered it.)
    std::vector<std::string> topEntries(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        int items = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("item ", 0) == 0) ++items;
            if (items == 1 && line.rfind("1|", 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    // The systray plugin runs in a wrapper process of the panel's, which draws the menu.
    std::optional<std::array<int, 4>> menuOnScreen() {
        if (auto menu = x.popupGeometryOf("wrapper-2.0", 60)) return menu;
        return x.popupGeometryOf(panelProgram, 60);
    }

    // Right-clicks the icon at the start of the panel until the panel's menu is on screen; then
    // waits for the refresh the opening asks for to be answered.
    std::optional<std::array<int, 4>> openMenu() {
        const auto asked = backend.requestsTo("/usage").size();
        std::optional<std::array<int, 4>> menu;
        support::eventually(
            [&] {
                auto bar = x.widestTopLevelOf(panelProgram);
                if (!bar) return false;
                x.click({(*bar)[0] + (*bar)[3] / 2 + 2, (*bar)[1] + (*bar)[3] / 2}, 3);
                return support::eventually(
                    [&] { return (menu = menuOnScreen()).has_value(); }, 3s);
            },
            20s);
        if (!menu) return menu;
        // The host told the app the menu is about to show: the app asks for fresh counts.
        if (!support::eventually([&] { return backend.requestsTo("/usage").size() > asked; }, 10s)) {
            ADD_FAILURE() << "the opening did not refresh the counts";
            return std::nullopt;
        }
        // The answer's effects, if any, have reached the host; the menu has taken its final size.
        std::this_thread::sleep_for(1500ms);
        return menuOnScreen();
    }

    void closeMenu() {
        keys.tap(x11_test::Keysym::escape);
        ASSERT_TRUE(support::eventually([&] { return !menuOnScreen(); }, 10s));
    }

    int layoutUpdates() { return static_cast<int>(e2e::occurrences(fileText(root / "monitor.log"), "member=LayoutUpdated")); }

    void screenshot(const std::string& name, std::array<int, 4> box) {
        const char* folder = std::getenv("KESTRO_SCREENSHOT_DIR");
        if (!folder || !*folder || !onPath("import")) return;
        const auto [left, top, width, height] = box;
        e2e::ChildProcess shot({"import", "-window", "root", "-crop",
                                std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(left) +
                                    "+" + std::to_string(top),
                                "+repage", (fs::path(folder) / name).string()},
                               {}, root / "import.log");
        EXPECT_TRUE(shot.succeeds(30s)) << fileText(root / "import.log");
    }

    // Declared after the base's processes: ended before them, the app having been ended first.
    x11_test::Driver keys;
    std::optional<e2e::ChildProcess> settings;
    std::optional<e2e::ChildProcess> panel;
    std::optional<e2e::ChildProcess> monitor;
    int questions = 0;
};

// Before any opening the exported menu holds every row with the text it will show, so the panel
// sizes its first opening right: the whole menu (no scroll arrow), as tall as later openings.
// An opening whose counts did not change tells the host of at most one change, and every entry
// keeps its id. The icons stand out from the menu, dark or light.
TEST_F(XfcePanel, TheFirstOpeningIsWholeNothingChurnsAndTheIconsReadOnDarkAndLightMenus) {
    for (bool dark : {true, false}) {
        const std::string look = dark ? "dark" : "light";
        SCOPED_TRACE(look);
        storeCredential();
        if (HasFatalFailure()) return;
        if (!settings) startSettings();
        if (HasFatalFailure()) return;
        startPanel(dark);
        if (HasFatalFailure()) return;
        startApp();
        ASSERT_TRUE(layoutHas("|Calls Used: 2/10|")) << layout() << appLog();

        // Read before the host ever asked to show the menu.
        const auto before = layout();
        const auto rows = topEntries(before);
        for (const char* row : {"1|Start Call|Control+P|visible=1|enabled=1|icon=1|standard|",
                                "1|Calls Used: 2/10||visible=1|enabled=0|icon=1|standard|",
                                "1|1 Week Streak||visible=1|enabled=0|icon=1|standard|",
                                "1|More||visible=1|enabled=1|icon=1|standard|",
                                "1|Quit|Control+Q|visible=1|enabled=1|icon=1|standard|"}) {
            EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                                    [&](const std::string& line) { return line.rfind(row, 0) == 0; }),
                      1)
                << row << "\n" << before;
        }
        for (const auto& line : rows) {
            if (line.find("|visible=1|") == std::string::npos || line.find("|separator|") != std::string::npos)
                continue;
            const auto named = line.substr(line.find("|name=") + 6);
            if (line.rfind("1|Calls Used", 0) == 0 || line.rfind("1|1 Week", 0) == 0 || line.rfind("1|More", 0) == 0 ||
                line.rfind("1|Quit", 0) == 0) {
                EXPECT_TRUE(named.size() > 9 && named.substr(named.size() - 9) == "-symbolic")
                    << "not an icon the host recolours: " << line;
            }
        }

        monitor.emplace(std::vector<std::string>{"dbus-monitor", "--address", busAddress(),
                                                 "type='signal',interface='com.canonical.dbusmenu'"},
                        std::map<std::string, std::string>{}, root / "monitor.log");
        std::this_thread::sleep_for(500ms);

        std::vector<int> heights;
        std::vector<int> updates;
        for (int opening = 0; opening < 3; ++opening) {
            SCOPED_TRACE("opening " + std::to_string(opening + 1));
            const int sent = layoutUpdates();
            auto menu = openMenu();
            ASSERT_TRUE(menu.has_value()) << fileText(root / "panel.log") << appLog();
            heights.push_back((*menu)[3]);
            updates.push_back(layoutUpdates() - sent);
            if (opening == 0) {
                screenshot("menu-xfce-" + look + ".png", *menu);
                const auto icons = iconContrasts(grab(*menu), 2, 34);
                std::cout << look << " menu background " << icons.background.r << "," << icons.background.g << ","
                          << icons.background.b << "; icon contrasts:";
                for (double c : icons.icons) std::cout << " " << c;
                std::cout << "\n";
                EXPECT_EQ(icons.icons.size(), 5u) << "one icon per row";
                for (double c : icons.icons) EXPECT_GE(c, 3.0) << "an icon hardly seen on the " << look << " menu";
            }
            closeMenu();
            if (HasFatalFailure()) return;
        }
        std::cout << look << " panel: menu heights " << heights[0] << " " << heights[1] << " " << heights[2]
                  << ", LayoutUpdated per opening " << updates[0] << " " << updates[1] << " " << updates[2] << "\n";
        EXPECT_EQ(heights[0], heights[1]) << "the first opening is cut off";
        EXPECT_EQ(heights[1], heights[2]);
        for (int sent : updates) EXPECT_LE(sent, 1) << "an opening whose counts did not change churned the layout";
        EXPECT_EQ(topEntries(layout()), topEntries(before)) << "an entry changed or got a new id";

        monitor.reset();
        EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
        app.reset();
        // Asked to quit, the panel ends its plugins too (the systray's wrapper holds the watcher).
        EXPECT_TRUE(run({panelProgram, "--quit"})) << fileText(root / "tool.log");
        EXPECT_TRUE(panel->waitForExit(15s).has_value()) << fileText(root / "panel.log");
        panel.reset();
        ASSERT_TRUE(support::eventually([&] { return !nameOwned("org.kde.StatusNotifierWatcher"); }, 10s))
            << ownerOf("org.kde.StatusNotifierWatcher");
        ASSERT_TRUE(support::eventually([&] { return !x.widestTopLevelOf(panelProgram); }, 10s));
    }
}

}  // namespace

namespace {

// A credential the backend refuses from the start: the error line is in the exported menu before
// the first opening, so the panel sizes the menu for it and shows it whole, not cut at the width
// of the rows below it.
TEST_F(XfcePanel, AnErrorLineKnownAtStartIsWholeAtTheFirstOpening) {
    backend.setReply("/usage", support::ScriptedReply::json(401, R"({"error":"no"})"));
    storeCredential();
    if (HasFatalFailure()) return;
    startSettings();
    if (HasFatalFailure()) return;
    startPanel(true);
    if (HasFatalFailure()) return;
    startApp();
    ASSERT_TRUE(layoutHas("|⚠ API Key Rejected: run ")) << layout() << appLog();
    const auto before = topEntries(layout());
    std::vector<int> sizes;
    for (int opening = 0; opening < 2; ++opening) {
        auto menu = openMenu();
        ASSERT_TRUE(menu.has_value()) << fileText(root / "panel.log") << appLog();
        sizes.push_back((*menu)[2] * 10000 + (*menu)[3]);
        closeMenu();
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(sizes[0], sizes[1]) << "the first opening was sized before the error line came";
    EXPECT_EQ(topEntries(layout()), before);
}

}  // namespace
