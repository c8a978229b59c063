// The real `kestro` binary with tray hosts it did not write: Debian's StatusNotifier host
// (gtk-sni-tray-standalone with status-notifier-watcher), which draws Kestro's menu itself from
// the DBusMenu export, and trayer restarting under it. Also what the app costs while it waits for
// a tray, and `kestro --version`.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e-app/child_process.hpp"
#include "e2e-app/desktop_session.hpp"
#include "e2e-app/x_desktop.hpp"
#include "x11/x11_driver.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

using e2e::fileText;
using e2e::onPath;

const std::string noTray = "Kestro has no system tray";
constexpr const char* debianHost = "gtk-sni-tray-standalone";
constexpr std::uint16_t controlMask = XCB_MOD_MASK_CONTROL;

// The lines of a text.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The voluntary context switches of each thread of a process, by thread id and name: each one is
// a time the thread went to sleep and was woken again.
std::map<std::string, long> switchesByThread(pid_t pid) {
    std::map<std::string, long> switches;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream status(task.path() / "status");
        std::string name;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                switches[task.path().filename().string() + " " + name] =
                    std::stol(line.substr(line.find(':') + 1));
        }
    }
    return switches;
}

// The times the threads of a process woke between two counts: a thread that ended in between
// woke at least to end, one that started counts all its switches.
long wakeUpsBetween(const std::map<std::string, long>& before, const std::map<std::string, long>& after,
                    std::string& detail) {
    long total = 0;
    for (const auto& [thread, count] : after) {
        auto earlier = before.find(thread);
        const long woken = count - (earlier == before.end() ? 0 : earlier->second);
        if (woken > 0) detail += " " + thread + ": " + std::to_string(woken);
        total += woken;
    }
    for (const auto& [thread, count] : before) {
        if (after.count(thread)) continue;
        detail += " " + thread + ": ended";
        total += 1;
    }
    return total;
}

class TrayHosts : public e2e::DesktopSession {
protected:
    void storeCredential() {
        e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, appEnvironment(),
                                root / "set-credential.log", "app-credential\n");
        ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");
    }

    // The environment of the Debian host's programs: the test's bus, a home of the test's own.
    std::map<std::string, std::string> hostEnvironment() const {
        return {{"DBUS_SESSION_BUS_ADDRESS", busAddress()},
                {"HOME", (root / "home").string()},
                {"XDG_RUNTIME_DIR", (root / "runtime").string()},
                {"XDG_CONFIG_HOME", (root / "config").string()},
                {"XDG_CACHE_HOME", (root / "home" / ".cache").string()},
                {"XDG_DATA_HOME", (root / "home" / ".local" / "share").string()}};
    }

    // Debian's watcher, then its host as a bar at the top of the screen; skips without them.
    void startDebianHost(int run = 1) {
        for (const char* program : {"status-notifier-watcher", debianHost}) {
            if (!onPath(program))
                GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
        }
        const auto suffix = std::to_string(run) + ".log";
        snWatcher.emplace(std::vector<std::string>{"status-notifier-watcher"}, hostEnvironment(),
                          root / ("sn-watcher-" + suffix));
        ASSERT_TRUE(support::eventually([&] { return layoutRead().succeeds(10s); }, 15s))
            << "the watcher never took its name\n"
            << fileText(root / ("sn-watcher-" + suffix));
        snHost.emplace(std::vector<std::string>{debianHost, "--top", "--beginning"}, hostEnvironment(),
                       root / ("sn-host-" + suffix));
        ASSERT_TRUE(support::eventually([&] { return x.widestTopLevelOf(debianHost).has_value(); }, 15s))
            << fileText(root / ("sn-host-" + suffix));
    }

    void stopDebianHost() {
        snHost.reset();
        snWatcher.reset();
        ASSERT_TRUE(support::eventually([&] { return !layoutRead().succeeds(10s); }, 15s))
            << "the watcher stays";
    }

    e2e::ChildProcess layoutRead() {
        return e2e::ChildProcess(
            {KESTRO_TRAY_HOST_PATH, "--layout"},
            {{"DBUS_SESSION_BUS_ADDRESS", busAddress()}, {"QT_QPA_PLATFORM", "offscreen"}},
            root / "layout.log");
    }

    // The items registered with the watcher and their menus as the host reads them (see tray_host).
    std::string layout() {
        auto reader = layoutRead();
        reader.waitForExit(10s);
        return fileText(root / "layout.log");
    }

    bool layoutHas(const std::string& part, std::chrono::milliseconds limit = 20s) {
        return support::eventually([&] { return layout().find(part) != std::string::npos; }, limit);
    }

    // The middle of the first icon of the host's bar.
    std::optional<std::pair<int, int>> iconInTheBar() {
        auto bar = x.widestTopLevelOf(debianHost);
        if (!bar) return std::nullopt;
        const auto [left, top, width, height] = *bar;
        return std::pair{left + height / 2, top + height / 2};
    }

    // Right-clicks Kestro's icon in the host's bar until the host has opened the menu: it then
    // tells the app, which asks for fresh usage counts.
    bool openHostMenu() {
        const auto asked = backend.requestsTo("/usage").size();
        return support::eventually(
            [&] {
                if (auto icon = iconInTheBar()) x.click(*icon, 3);
                return support::eventually(
                    [&] { return backend.requestsTo("/usage").size() > asked && hostMenuOpen(); }, 3s);
            },
            20s);
    }

    // A popup of the host's as tall as a menu of several rows (its tooltips are smaller).
    bool hostMenuOpen() { return x.popupOf(debianHost, 80); }

    // Whether another X client could take Control-P from the app now (it is left ungrabbed).
    bool anotherClientGrabsControlP() {
        const auto p = keys.keycode(x11_test::Keysym::p);
        if (!keys.grabKey(p, controlMask)) return false;
        keys.ungrabKey(p, controlMask);
        return true;
    }

    // The host's menu as on screen, when the test run keeps screenshots.
    void screenshotOfTheHostMenu() {
        const char* folder = std::getenv("KESTRO_SCREENSHOT_DIR");
        if (!folder || !*folder || !onPath("import")) return;
        const auto target = fs::path(folder) / "menu-sni-host.png";
        e2e::ChildProcess shot(
            {"import", "-window", "root", "-crop", "210x200+0+0", "+repage", target.string()}, {},
            root / "import.log");
        EXPECT_TRUE(shot.succeeds(30s)) << fileText(root / "import.log");
    }

    x11_test::Driver keys;
    // Declared after the base's processes: ended before them, the app having been ended first.
    std::optional<e2e::ChildProcess> snWatcher;
    std::optional<e2e::ChildProcess> snHost;
};

// The host draws the menu in its own process and may never report it closed. The app cannot see
// keys pressed in that menu, so it keeps its grabs the whole time: no other client can take
// Control-P, and Control-P still reaches the app once the menu has gone (by Escape, and by a click
// elsewhere). The exported entries carry their shortcuts in the shortcut column, the error line a
// warning mark, and no row is empty.
TEST_F(TrayHosts, TheDebianHostDrawsTheExportedMenuAndControlPStillWorksAfterIt) {
    if (auto why = keys.unavailable(); !why.empty()) GTEST_SKIP() << why;
    storeCredential();
    if (HasFatalFailure()) return;
    startDebianHost();
    if (HasFatalFailure() || IsSkipped()) return;
    startApp();
    ASSERT_TRUE(layoutHas("|Start Call|")) << layout() << appLog();

    // Before the first opening every row is there with its text, the streak's included (the host
    // sizes the menu from what it reads before opening it), and no row is empty.
    auto before = layout();
    EXPECT_NE(before.find("1|1 Week Streak||visible=1|"), std::string::npos) << before;
    for (const auto& line : linesOf(before)) {
        if (line.rfind("item ", 0) == 0 || line.find("|separator") != std::string::npos) continue;
        auto fields = line.substr(line.find('|') + 1);
        if (line.find("|visible=1|") != std::string::npos) {
            EXPECT_NE(fields.rfind("|", 0), 0u) << "an empty row: " << line;
        }
        EXPECT_EQ(line.find('\t'), std::string::npos) << "the shortcut is part of the label: " << line;
    }
    EXPECT_NE(before.find("1|Start Call|Control+P|visible=1|enabled=1|"), std::string::npos) << before;
    // On X11 the app opens its own menu at the pointer on a left click: the item is not menu-only.
    EXPECT_NE(before.find("|menu-only=0\n"), std::string::npos) << before;
    EXPECT_NE(before.find("1|Quit|Control+Q|visible=1|enabled=1|"), std::string::npos) << before;
    EXPECT_FALSE(anotherClientGrabsControlP()) << "the app does not hold Control-P\n" << appLog();

    // Opened and closed with Escape.
    ASSERT_TRUE(openHostMenu()) << appLog();
    EXPECT_FALSE(anotherClientGrabsControlP()) << "Control-P was let go while the host's menu is open";
    EXPECT_TRUE(layoutHas("Week Streak")) << layout();
    keys.tap(x11_test::Keysym::escape);
    ASSERT_TRUE(support::eventually([&] { return !hostMenuOpen(); }, 10s));
    EXPECT_FALSE(anotherClientGrabsControlP()) << "Control-P was let go after Escape";

    // Opened and closed by a click elsewhere.
    ASSERT_TRUE(openHostMenu()) << appLog();
    x.click({600, 500}, 1);
    ASSERT_TRUE(support::eventually([&] { return !hostMenuOpen(); }, 10s));
    EXPECT_FALSE(anotherClientGrabsControlP()) << "Control-P was let go after a click elsewhere";

    // Control-P reaches the app: the start is refused, this session having no headphones, and the
    // refusal shows on the error line with its warning mark.
    bool refused = false;
    for (int press = 0; press < 5 && !refused; ++press) {
        keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::p});
        refused = layoutHas("1|⚠ No Headphones||visible=1|enabled=1|icon=1|", 3s);
    }
    EXPECT_TRUE(refused) << "Control-P did not reach the app after the host's menu\n" << layout() << appLog();

    // The menu as the host draws it now, with the error line.
    ASSERT_TRUE(openHostMenu()) << appLog();
    screenshotOfTheHostMenu();
    keys.tap(x11_test::Keysym::escape);
    EXPECT_TRUE(support::eventually([&] { return !hostMenuOpen(); }, 10s));
}

// A panel that crashes or restarts comes back with a new watcher and host, which know nothing of
// the icon: the app registers it again.
TEST_F(TrayHosts, RestartingTheDebianHostWhileTheAppRunsBringsTheIconBack) {
    startDebianHost();
    if (HasFatalFailure() || IsSkipped()) return;
    startApp();
    ASSERT_TRUE(layoutHas("|Quit|")) << layout() << appLog();

    for (int run = 2; run <= 3; ++run) {
        SCOPED_TRACE("restart " + std::to_string(run - 1));
        stopDebianHost();
        if (HasFatalFailure()) return;
        startDebianHost(run);
        if (HasFatalFailure()) return;
        EXPECT_TRUE(layoutHas("|Quit|")) << "the icon did not come back\n" << layout() << appLog();
    }
    EXPECT_FALSE(app->waitForExit(0ms)) << appLog();
}

// The same for an XEmbed tray that restarts.
TEST_F(TrayHosts, RestartingTheXEmbedTrayWhileTheAppRunsEmbedsTheIconAgain) {
    if (x.hasXEmbedTray()) GTEST_SKIP() << "the X display already has a system tray";
    startApp();
    startTrayAndWaitForTheIcon();
    if (HasFatalFailure() || IsSkipped()) return;
    for (int run = 0; run < 2; ++run) {
        tray.reset();
        ASSERT_TRUE(support::eventually([&] { return !x.hasXEmbedTray(); }, 10s));
        startTrayAndWaitForTheIcon();
        if (HasFatalFailure()) return;
    }
    EXPECT_FALSE(app->waitForExit(0ms)) << appLog();
}

// Waiting for a tray is waiting for its signals, not looking at an interval: the idle app
// hardly wakes, and the icon still comes as soon as the tray does.
TEST_F(TrayHosts, WaitingForATrayTheAppWakesAtMostFiveTimesIn30SecondsAndTheIconComesWithTheTray) {
    if (x.hasXEmbedTray()) GTEST_SKIP() << "the X display already has a system tray";
    if (!onPath("trayer")) GTEST_SKIP() << "trayer is not installed (scripts/install-deps.sh installs it)";
    storeCredential();
    if (HasFatalFailure()) return;
    startApp();
    ASSERT_TRUE(appSays(noTray)) << appLog();
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/usage").empty(); }, 30s)) << appLog();
    // Start-up done: the threads Qt's pool lent to it end 30 s after their last work.
    std::this_thread::sleep_for(3s);
    support::eventually(
        [&] {
            for (const auto& [thread, count] : switchesByThread(app->pid())) {
                if (thread.find("(pooled)") != std::string::npos) return false;
            }
            return true;
        },
        45s);

    const auto before = switchesByThread(app->pid());
    std::this_thread::sleep_for(30s);
    std::string detail;
    const long woken = wakeUpsBetween(before, switchesByThread(app->pid()), detail);
    std::cout << "wake-ups of the waiting app in 30 s: " << woken << " (" << detail << " )\n";
    RecordProperty("wake_ups_in_30_s", static_cast<int>(woken));
    // ThreadSanitizer's runtime wakes a thread of its own ten times a second in every process.
#if !defined(__SANITIZE_THREAD__)
    EXPECT_LE(woken, 5) << detail;
#endif

    const auto trayStarted = std::chrono::steady_clock::now();
    tray.emplace(e2e::trayerCommand(), std::map<std::string, std::string>{}, root / "trayer.log");
    ASSERT_TRUE(support::eventually([&] { return x.embeddedWindowOf("kestro"); }, 20s)) << appLog();
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - trayStarted);
    std::cout << "icon in the tray " << latency.count() << " ms after trayer was started\n";
    RecordProperty("icon_after_tray_ms", static_cast<int>(latency.count()));
}

// Updates compare against the project's version: a feed announcing that version offers nothing,
// one announcing a later version offers it at start-up (a dialog of the app's on the screen).
TEST_F(TrayHosts, TheUpdateCheckComparesTheFeedWithTheProjectsVersion) {
    if (x.widestTopLevelOf("kestro")) GTEST_SKIP() << "a window of another kestro is on the display";
    for (const std::string& announced : {std::string(KESTRO_PROJECT_VERSION), std::string("99.0.0")}) {
        SCOPED_TRACE("the feed announces " + announced);
        const auto asked = backend.requestsTo("/feed").size();
        backend.setReply("/feed",
                         support::ScriptedReply::json(
                             200, R"({"version": ")" + announced + R"(", "url": "https://kestro.app/dl"})"));
        auto environment = appEnvironment();
        environment["KESTRO_UPDATE_FEED_URL"] = backend.baseUrl() + "feed";
        app.emplace(std::vector<std::string>{KESTRO_APP_PATH}, environment,
                    root / ("kestro-" + announced + ".log"));
        ASSERT_TRUE(support::eventually([&] { return backend.requestsTo("/feed").size() > asked; }, 30s))
            << fileText(root / ("kestro-" + announced + ".log"));
        const bool offered =
            support::eventually([&] { return x.widestTopLevelOf("kestro").has_value(); }, 5s);
        EXPECT_EQ(offered, announced != KESTRO_PROJECT_VERSION)
            << fileText(root / ("kestro-" + announced + ".log"));
        EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0");
        app.reset();
    }
}

// The project's version, printed without a display (the program stops before the toolkit starts).
TEST(KestroVersion, PrintsTheProjectVersionAndNeedsNoDisplay) {
    support::TemporaryFolder folder;
    const fs::path log = folder.path() / "version.log";
    e2e::ChildProcess version({KESTRO_APP_PATH, "--version"},
                              {{"DISPLAY", ""},
                               {"QT_QPA_PLATFORM", "xcb"},
                               {"WAYLAND_DISPLAY", ""},
                               {"HOME", folder.path().string()}},
                              log);
    auto status = version.waitForExit(30s);
    ASSERT_TRUE(status.has_value()) << fileText(log);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << e2e::howItEnded(status) << "\n"
                                                                 << fileText(log);
    EXPECT_EQ(fileText(log), "Kestro " KESTRO_PROJECT_VERSION "\n");
}

}  // namespace
