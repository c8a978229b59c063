#pragma once
// The real `kestro` binary in a desktop session of the test's own making: a private session bus,
// desktop services on it (tray_host), an XEmbed tray (trayer) on the X display, and the loopback
// backend.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "e2e-app/child_process.hpp"
#include "e2e-app/x_desktop.hpp"
#include "support/backend_environment.hpp"
#include "support/fake_backend.hpp"
#include "support/test_runtime.hpp"

namespace e2e {

using namespace std::chrono_literals;

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class DesktopSession : public ::testing::Test {
protected:
    void SetUp() override {
        if (!x.usable()) GTEST_SKIP() << "no X display to run the app on (scripts/test.sh starts Xvfb)";
        if (!onPath("dbus-daemon"))
            GTEST_SKIP() << "dbus-daemon is not installed (scripts/install-deps.sh installs it)";
        for (const char* name : {"config", "state", "home", "runtime"})
            std::filesystem::create_directories(root / name);
        ::chmod((root / "runtime").c_str(), 0700);
        bus.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                             "--address=" + busAddress()},
                    std::map<std::string, std::string>{}, root / "dbus.log");
        ASSERT_TRUE(support::eventually([&] { return std::filesystem::exists(root / "bus"); }, 10s))
            << fileText(root / "dbus.log");
        backend.setReply("/usage", support::ScriptedReply::json(200, R"({"used":2,"total":10})"));
    }

    // However the case went, the app ends cleanly on SIGTERM, as at logout. A sanitizer's report
    // in the app shows only here, as a failing exit code (the logs hold the report).
    void TearDown() override {
        if (!app) return;
        EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
    }

    std::string busAddress() const { return "unix:path=" + (root / "bus").string(); }

    std::map<std::string, std::string> appEnvironment() const {
        return e2e::appSessionEnvironment(root, busAddress(), backend.baseUrl());
    }

    // A tray_host serving `what` ("--watcher", "--notifications"), ready once it says so.
    void startHost(std::optional<e2e::ChildProcess>& host, const std::string& what,
                   const std::filesystem::path& log) {
        host.emplace(std::vector<std::string>{KESTRO_TRAY_HOST_PATH, what},
                     std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", busAddress()},
                                                        {"QT_QPA_PLATFORM", "offscreen"}},
                     log);
        ASSERT_TRUE(
            support::eventually([&] { return fileText(log).find("ready") != std::string::npos; }, 10s))
            << fileText(log);
    }

    void startApp(const std::filesystem::path& program = KESTRO_APP_PATH) {
        app.emplace(std::vector<std::string>{program.string()}, appEnvironment(), root / "kestro.log");
    }

    bool appSays(const std::string& text, std::chrono::milliseconds limit = 20s) {
        return support::eventually([&] { return appLog().find(text) != std::string::npos; }, limit);
    }
    std::string appLog() const { return fileText(root / "kestro.log"); }

    // Starts trayer on the display (skipping the test without it) and waits for the app's icon in it.
    void startTrayAndWaitForTheIcon() {
        if (!onPath("trayer"))
            GTEST_SKIP() << "trayer is not installed (scripts/install-deps.sh installs it)";
        tray.emplace(e2e::trayerCommand(), std::map<std::string, std::string>{}, root / "trayer.log");
        ASSERT_TRUE(support::eventually([&] { return x.hasXEmbedTray(); }, 10s))
            << fileText(root / "trayer.log");
        ASSERT_TRUE(support::eventually([&] { return x.embeddedWindowOf("kestro"); }, 20s))
            << "no kestro window inside the tray\nkestro printed:\n"
            << appLog();
    }

    e2e::XServer x;
    support::TemporaryFolder folder;
    const std::filesystem::path root = folder.path();
    support::FakeBackend backend;
    // Declared last: ended first (the app before the services it uses).
    std::optional<e2e::ChildProcess> bus;
    std::optional<e2e::ChildProcess> notifications;
    std::optional<e2e::ChildProcess> watcher;
    std::optional<e2e::ChildProcess> tray;
    std::optional<e2e::ChildProcess> app;
};

}  // namespace e2e
