#pragma once
// The real `kestro` binary in a Wayland session of the tests' making: XDG_SESSION_TYPE says
// wayland (the X display stands for XWayland), a portal serves global shortcuts on a private
// session bus (by default the system's front end with a desktop backend of the tests' own),
// beside a StatusNotifier watcher that shows the tray menu, a sound server whose output is a
// headset, and the loopback backend and realtime servers.

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "e2e-app/child_process.hpp"
#include "support/backend_environment.hpp"
#include "support/fake_backend.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"
#include "wayland/app_session.hpp"
#include "wayland/exported_menu.hpp"
#include "wayland/portal_backend_double.hpp"

namespace wayland_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class KestroOnWayland : public ::testing::Test {
protected:
    void SetUp() override {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display) GTEST_SKIP() << "no X display to run the app on (scripts/test.sh starts Xvfb)";
        if (!e2e::onPath("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed (scripts/install-deps.sh installs it)";
        if (auto why = whyTheAppCannotRun(); !why.empty()) GTEST_SKIP() << why;
        makeAppFolders(root);
        ASSERT_TRUE(bus.started()) << bus.log();
        startPortal();
        if (IsSkipped() || HasFatalFailure()) return;
        startTrayHost();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_NO_FATAL_FAILURE(startHeadsetSoundServer(pulse, root, bus.address()));
        answerForAnAccountWithCallsLeft(backend);
    }

    // The desktop's side of the shortcuts: the system's front end with the tests' own backend.
    virtual void startPortal() {
        desktop.emplace(bus.address());
        ASSERT_TRUE(desktop->ready());
        frontEnd.emplace(bus.address(), root / "portal");
        if (!frontEnd->problem().empty()) GTEST_SKIP() << frontEnd->problem();
    }

    // The session's tray host and notification service: the tests' own, logging both.
    virtual void startTrayHost() { ASSERT_NO_FATAL_FAILURE(startWatcher(watcher, root, bus.address(), true)); }

    void TearDown() override {
        if (frontEnd && frontEnd->problem().empty()) ::kill(frontEnd->program().pid(), SIGCONT);
        if (!app) return;
        EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
    }

    // Starts the app with the session's environment and `extra` over it.
    void startApp(const std::map<std::string, std::string>& extra = {}) {
        auto environment = appEnvironment(root, bus.address(), backend, realtime);
        environment["XDG_SESSION_TYPE"] = "wayland";
        environment["WAYLAND_DISPLAY"] = "wayland-kestro-test";
        // Where the app makes the launcher entry the portal knows it by.
        environment["XDG_DATA_HOME"] = (root / "data").string();
        for (const auto& [key, value] : extra) environment[key] = value;
        ASSERT_NO_FATAL_FAILURE(storeAppCredential(environment, root));
        app.emplace(std::vector<std::string>{KESTRO_APP_PATH}, environment, root / "kestro.log");
    }

    bool bothNamesBound() {
        return support::eventually(
            [&] {
                auto bindings = desktop->bindings();
                return !bindings.empty() && bindings.back().shortcuts.size() == 2;
            },
            30s);
    }

    // The tray menu as the watcher's host reads it over DBusMenu, dumped as text; "" while none.
    std::string menuText() { return exportedMenuText(bus.address(), watcherLog()); }

    bool exports(const std::string& keys) {
        auto all = exportedShortcuts(bus.address(), watcherLog());
        return std::find(all.begin(), all.end(), keys) != all.end();
    }

    std::string appLog() const { return "kestro printed:\n" + fileText(root / "kestro.log"); }
    std::string watcherLog() const { return fileText(root / "watcher.log"); }

    support::TemporaryFolder folder;
    const fs::path root = folder.path();
    PrivateBus bus{root / "bus"};
    support::FakeBackend backend;
    support::RealtimeServer realtime;
    // Declared last: ended first (the app before the services it uses).
    std::optional<PortalBackendDouble> desktop;
    std::optional<PortalFrontEnd> frontEnd;
    std::optional<e2e::ChildProcess> watcher;
    std::optional<e2e::ChildProcess> pulse;
    std::optional<e2e::ChildProcess> app;
};

}  // namespace wayland_test
