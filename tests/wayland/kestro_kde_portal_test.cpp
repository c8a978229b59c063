// The real `kestro` binary on the desktop portal as KDE Plasma 5.27 serves it on Debian 12: the
// 1.16 front end, KDE's portal backend and kglobalaccel5 on the session's bus. The app is told
// another desktop than KDE, so that it takes the portal path that KDE's own programs serve here.
// Keys are pressed through XTest, where kglobalaccel5 grabs them.

#include <iostream>

#include "wayland/kde_portal.hpp"
#include "wayland/kestro_wayland_fixture.hpp"
#include "x11/x11_driver.hpp"

namespace wayland_test {
namespace {

class KestroOnKdePortal : public KestroOnWayland {
protected:
    void startPortal() override {
        if (!x11.unavailable().empty()) GTEST_SKIP() << x11.unavailable();
        kde = std::make_unique<KdePortal>(bus.address(), root / "kde", language);
        if (!kde->problem().empty()) GTEST_SKIP() << kde->problem();
    }
    void start() {
        realtime.sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
        startApp({{"XDG_CURRENT_DESKTOP", "kestrotest"}});
    }
    // Lines of the app's output that tell of a failure.
    std::vector<std::string> errorLines() const {
        std::vector<std::string> found;
        std::istringstream text(fileText(root / "kestro.log"));
        for (std::string line; std::getline(text, line);) {
            for (const char* word : {"Error", "error", "refused", "not available", "assigned no keys", "did not"}) {
                if (line.find(word) != std::string::npos) {
                    found.push_back(line);
                    break;
                }
            }
        }
        return found;
    }
    // Presses Control-P and waits for the call's credential to be asked for; the time it took.
    std::optional<std::chrono::microseconds> startCallByKey(std::size_t calls) {
        using namespace x11_test::Keysym;
        const auto pressed = std::chrono::steady_clock::now();
        x11.chord({controlL, p});
        if (!support::eventually([&] { return backend.requestsTo("/session").size() == calls; }, 10s)) return {};
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - pressed);
    }
    bool endCallByKey() {
        using namespace x11_test::Keysym;
        x11.chord({controlL, m});
        return realtime.waitForClientClose(20s) == std::optional<std::uint16_t>(1001);
    }

    std::string language;
    x11_test::Driver x11;
    std::unique_ptr<KdePortal> kde;
};

TEST_F(KestroOnKdePortal, ControlPAndControlMWorkAtTheFirstAndTheSecondStartWithoutAnError) {
    start();
    ASSERT_TRUE(support::eventually([&] { return exports("Control+P"); }, 30s))
        << menuText() << appLog() << kde->logs();
    auto first = startCallByKey(1);
    ASSERT_TRUE(first) << appLog() << kde->logs();
    std::cout << "[ measured ] first start: key press to GET session " << first->count() / 1000.0 << " ms\n";
    ASSERT_TRUE(realtime.waitForConnection(1, 20s)) << appLog();
    ASSERT_TRUE(endCallByKey()) << appLog();
    EXPECT_EQ(errorLines(), std::vector<std::string>{}) << appLog();
    EXPECT_EQ(kde->components(), std::vector<std::string>{"kestro"});
    // Run from the build tree: the app made the launcher entry the portal knows it by.
    const auto entry = root / "data" / "applications" / "kestro.desktop";
    EXPECT_NE(fileText(entry).find(std::string("Exec=") + KESTRO_APP_PATH), std::string::npos) << fileText(entry);
    EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
    app.reset();

    start();
    ASSERT_TRUE(support::eventually([&] { return exports("Control+P"); }, 30s))
        << menuText() << appLog();
    auto second = startCallByKey(2);
    ASSERT_TRUE(second) << appLog() << kde->logs();
    std::cout << "[ measured ] second start: key press to GET session " << second->count() / 1000.0 << " ms\n";
    ASSERT_TRUE(realtime.waitForConnection(2, 20s)) << appLog();
    ASSERT_TRUE(endCallByKey()) << appLog();
    EXPECT_EQ(errorLines(), std::vector<std::string>{}) << appLog();
    EXPECT_EQ(kde->opened(), std::vector<std::string>{}) << "KDE opened its settings: nothing was asked anew";
    EXPECT_EQ(kde->components(), std::vector<std::string>{"kestro"});
}

class KestroOnGermanKdePortal : public KestroOnKdePortal {
protected:
    void SetUp() override {
        language = "de_DE.UTF-8";
        KestroOnKdePortal::SetUp();
    }
};

// KDE writes "Strg+P": the app, in the same language, reads it with the toolkit's German words
// and the menu the tray host draws carries Control-P.
TEST_F(KestroOnGermanKdePortal, TheMenuShowsTheDesktopsKeys) {
    realtime.sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
    startApp({{"XDG_CURRENT_DESKTOP", "kestrotest"}, {"LANG", "de_DE.UTF-8"}, {"LANGUAGE", "de"}});
    ASSERT_TRUE(support::eventually([&] { return exports("Control+P"); }, 30s))
        << menuText() << appLog() << kde->logs();
    EXPECT_TRUE(startCallByKey(1)) << appLog();
    EXPECT_EQ(errorLines(), std::vector<std::string>{}) << appLog();
}

}  // namespace
}  // namespace wayland_test
