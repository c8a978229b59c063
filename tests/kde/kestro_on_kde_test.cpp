// The real `kestro` binary on a KDE Plasma desktop of the tests' making: XDG_CURRENT_DESKTOP says
// KDE, Debian's kglobalaccel5 serves global shortcuts on the session bus (under Wayland KWin
// serves the same interface; the X display stands for XWayland there), a StatusNotifier watcher
// shows the tray menu, a sound server's output is a headset, and the loopback backend and
// realtime servers answer. Keys are pressed through XTest, where the service grabs them.

#ifdef KESTRO_APP_PATH

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <thread>

#include "e2e-app/child_process.hpp"
#include "kde/kglobalaccel_service.hpp"
#include "support/backend_environment.hpp"
#include "support/fake_backend.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"
#include "wayland/app_session.hpp"
#include "wayland/exported_menu.hpp"
#include "x11/x11_driver.hpp"

namespace kde_test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using x11_test::Keysym::controlL;

class Session : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (auto why = KGlobalAccelService::unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (auto why = keyboard.unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (auto why = wayland_test::whyTheAppCannotRun(); !why.empty()) GTEST_SKIP() << why;
        wayland_test::makeAppFolders(root);
        ASSERT_TRUE(service.start()) << service.log();
        ASSERT_NO_FATAL_FAILURE(wayland_test::startWatcher(watcher, root, service.busAddress()));
        ASSERT_NO_FATAL_FAILURE(wayland_test::startHeadsetSoundServer(pulse, root, service.busAddress()));
        wayland_test::answerForAnAccountWithCallsLeft(backend);
    }

    void TearDown() override {
        if (!app) return;
        EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
    }

    // Starts the app (the `run`th start of the test) on the KDE desktop of the session type under test.
    void startApp(int run = 1) {
        auto environment = wayland_test::appEnvironment(root, service.busAddress(), backend, realtime);
        environment["XDG_CURRENT_DESKTOP"] = "KDE";
        environment["XDG_SESSION_TYPE"] = GetParam();
        if (GetParam() == "wayland") environment["WAYLAND_DISPLAY"] = "wayland-kestro-test";
        if (run == 1) {
            ASSERT_NO_FATAL_FAILURE(wayland_test::storeAppCredential(environment, root));
        }
        log = root / ("kestro-" + std::to_string(run) + ".log");
        app.emplace(std::vector<std::string>{KESTRO_APP_PATH}, environment, log);
    }

    // Both actions present in the service, with control-P and control-M, and the usage known (the
    // app honours the start key only then).
    bool ready() {
        return support::eventually(
                   [&] {
                       return service.keys(startSessionId) == std::vector<std::int32_t>{Keys::controlP} &&
                              service.keys(endSessionId) == std::vector<std::int32_t>{Keys::controlM} &&
                              service.isActive("kestro");
                   },
                   30s) &&
               support::eventually([&] { return !backend.requestsTo("/usage").empty(); }, 30s);
    }

    // Presses the keys until the backend is asked for a session; how long the last press took
    // to reach it.
    std::optional<std::chrono::microseconds> pressUntilSessionRequest(const std::vector<std::uint32_t>& keysyms,
                                                                      std::size_t requestsBefore) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            auto pressed = std::chrono::steady_clock::now();
            keyboard.chord(keysyms);
            while (std::chrono::steady_clock::now() - pressed < 1s) {
                if (backend.requestsTo("/session").size() > requestsBefore) {
                    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                                  pressed);
                }
                std::this_thread::sleep_for(200us);
            }
        }
        return std::nullopt;
    }

    // One call, started with control-P and ended with control-M.
    void callWithTheKeys(std::size_t callsBefore) {
        auto took = pressUntilSessionRequest({controlL, x11_test::Keysym::p}, callsBefore);
        ASSERT_TRUE(took) << appLog() << service.log();
        std::cout << "[ measured ] " << GetParam() << ", start " << callsBefore + 1
                  << ": key press to GET session in " << took->count() / 1000.0 << " ms\n";
        RecordProperty("pressToSessionMicroseconds" + std::to_string(callsBefore + 1), std::to_string(took->count()));
        ASSERT_TRUE(realtime.waitForConnection(callsBefore + 1, 20s)) << appLog();
        keyboard.chord({controlL, x11_test::Keysym::m});
        EXPECT_EQ(realtime.waitForClientClose(20s), std::optional<std::uint16_t>(1001)) << appLog();
        EXPECT_EQ(backend.requestsTo("/session").size(), callsBefore + 1) << appLog();
    }

    bool exports(const std::string& keys) {
        auto all = wayland_test::exportedShortcuts(service.busAddress(), watcherLog());
        return std::find(all.begin(), all.end(), keys) != all.end();
    }
    std::string menuText() const { return wayland_test::exportedMenuText(service.busAddress(), watcherLog()); }

    std::string appLog() const { return "kestro printed:\n" + wayland_test::fileText(log); }
    std::string watcherLog() const { return wayland_test::fileText(root / "watcher.log"); }

    support::TemporaryFolder folder;
    const fs::path root = folder.path();
    fs::path log = root / "kestro-1.log";
    x11_test::Driver keyboard;
    KGlobalAccelService service{root};
    support::FakeBackend backend;
    support::RealtimeServer realtime;
    // Declared last: ended first (the app before the services it uses).
    std::optional<e2e::ChildProcess> watcher;
    std::optional<e2e::ChildProcess> pulse;
    std::optional<e2e::ChildProcess> app;
};

TEST_P(Session, ControlPStartsAndControlMEndsACallAtTheFirstAndTheSecondStart) {
    realtime.sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
    startApp(1);
    ASSERT_TRUE(ready()) << appLog() << service.log();
    auto actions = service.actions("kestro");
    EXPECT_NE(std::find(actions.begin(), actions.end(), startSessionId), actions.end());
    EXPECT_NE(std::find(actions.begin(), actions.end(), endSessionId), actions.end());
    callWithTheKeys(0);
    ASSERT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
    app.reset();
    EXPECT_TRUE(support::eventually([&] { return !service.isActive("kestro"); }, 10s))
        << "an app that ended holds no keys";
    const std::string first = appLog();
    EXPECT_EQ(first.find("Error"), std::string::npos) << first;
    EXPECT_EQ(first.find("Global shortcuts"), std::string::npos) << first;

    realtime.sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
    startApp(2);
    ASSERT_TRUE(ready()) << appLog() << service.log();
    callWithTheKeys(1);
    EXPECT_EQ(appLog().find("Error"), std::string::npos) << appLog();
    EXPECT_EQ(appLog().find("KDE"), std::string::npos) << appLog();
}

TEST_P(Session, AKeyChangedInKdesSettingsShowsInTheMenuAndStartsACall) {
    startApp(1);
    ASSERT_TRUE(ready()) << appLog() << service.log();
    // Out of a call the menu offers "Start Call" alone.
    ASSERT_TRUE(support::eventually([&] { return exports("Control+P"); }, 20s))
        << menuText() << appLog() << watcherLog();
    service.setForeignKeys(startSessionId, Keys::controlAltK);
    ASSERT_TRUE(support::eventually([&] { return exports("Control+Alt+K"); }, 20s)) << menuText() << appLog();
    EXPECT_FALSE(exports("Control+P")) << menuText();
    ASSERT_TRUE(pressUntilSessionRequest({controlL, x11_test::Keysym::altL, x11_test::Keysym::k}, 0)) << appLog();
    EXPECT_EQ(appLog().find("Error"), std::string::npos) << appLog();
}

INSTANTIATE_TEST_SUITE_P(KestroOnKde, Session, ::testing::Values("x11", "wayland"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kde_test

#endif
