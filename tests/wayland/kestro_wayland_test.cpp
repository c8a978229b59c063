// The real `kestro` binary in a Wayland session of the tests' making, the system's portal front
// end with a desktop backend of the tests' own. Shortcuts are pressed as the desktop does: through
// portal activations.

#include <fstream>

#include "wayland/kestro_wayland_fixture.hpp"

namespace wayland_test {
namespace {

using namespace std::chrono_literals;

TEST_F(KestroOnWayland, TheDesktopsActivationsStartAndEndACall) {
    realtime.sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
    startApp();
    ASSERT_TRUE(bothNamesBound()) << appLog() << frontEnd->log();
    auto offered = desktop->bindings().back().shortcuts;
    EXPECT_EQ(offered[0].id, "startSession");
    EXPECT_EQ(offered[0].description, "Start Call");
    EXPECT_EQ(offered[0].preferredTrigger, "CTRL+p");
    EXPECT_EQ(offered[1].id, "endSession");
    EXPECT_EQ(offered[1].description, "End Call");
    EXPECT_EQ(offered[1].preferredTrigger, "CTRL+m");
    EXPECT_EQ(desktop->appIds(), std::vector<std::string>{""}) << "the 1.16 front end names host applications ''";

    // The binding's answer reaches the app after the request was recorded.
    ASSERT_TRUE(support::eventually(
        [&] {
            desktop->activate("startSession");
            desktop->deactivate("startSession");
            return support::eventually([&] { return !backend.requestsTo("/session").empty(); }, 1s);
        },
        20s))
        << appLog();
    EXPECT_EQ(backend.requestsTo("/session").size(), 1u);
    ASSERT_TRUE(realtime.waitForConnection(1, 20s)) << appLog();

    desktop->activate("endSession");
    desktop->deactivate("endSession");
    EXPECT_EQ(realtime.waitForClientClose(20s), std::optional<std::uint16_t>(1001)) << appLog();
    EXPECT_EQ(appLog().find("Global shortcuts need"), std::string::npos) << appLog();
}

TEST_F(KestroOnWayland, ATriggerChangedInTheDesktopReachesTheMenu) {
    startApp();
    ASSERT_TRUE(bothNamesBound()) << appLog() << frontEnd->log();
    ASSERT_TRUE(support::eventually([&] { return exports("Control+P"); }, 20s))
        << menuText() << appLog() << watcherLog();
    desktop->changeTrigger("startSession", "Ctrl+Alt+K");
    ASSERT_TRUE(support::eventually([&] { return exports("Control+Alt+K"); }, 20s))
        << menuText() << appLog() << watcherLog();
    EXPECT_FALSE(exports("Control+P")) << menuText();
}

TEST_F(KestroOnWayland, ARefusedBindingIsToldOnceAndTheMenuShowsNoShortcut) {
    desktop->setAnswer(PortalBackendDouble::Answer::refuse);
    startApp();
    ASSERT_TRUE(support::eventually([&] { return appLog().find("\u2303M: -6") != std::string::npos; }, 30s))
        << appLog();
    ASSERT_TRUE(support::eventually([&] { return menuText().find("Start Call") != std::string::npos; }, 20s))
        << appLog();
    std::this_thread::sleep_for(1s);
    auto log = appLog();
    EXPECT_EQ(occurrences(log, "Error registering hotkey \u2303P: -6"), 1u) << log;
    EXPECT_EQ(occurrences(log, "Error registering hotkey \u2303M: -6"), 1u) << log;
    EXPECT_EQ(menuText().find("Ctrl+"), std::string::npos) << menuText();
    EXPECT_EQ(menuText().find("\u2303P"), std::string::npos) << menuText();
    EXPECT_FALSE(exports("Control+P") || exports("Control+M")) << menuText();
    EXPECT_EQ(desktop->bindings().size(), 1u);
}

// The user removed Kestro from the menus: that entry of theirs stays as it is, and why the
// shortcuts cannot work is told once, on standard error and as a notification.
TEST_F(KestroOnWayland, TheUsersHiddenLauncherEntryStaysAndWhyIsToldOnce) {
    const auto entry = root / "data" / "applications" / "kestro.desktop";
    fs::create_directories(entry.parent_path());
    const std::string hidden = std::string("[Desktop Entry]\nType=Application\nName=Kestro\nExec=") + KESTRO_APP_PATH +
                               "\nHidden=true\n";
    std::ofstream(entry) << hidden;
    startApp();
    const std::string why = "The desktop portal knows Kestro by its launcher entry " + entry.string() +
                            ", which it cannot use: it is hidden (Hidden=true)";
    ASSERT_TRUE(support::eventually([&] { return menuText().find("Start Call") != std::string::npos; }, 20s))
        << appLog();
    ASSERT_TRUE(support::eventually([&] { return watcherLog().find("notify Global shortcuts") != std::string::npos; },
                                    10s))
        << watcherLog();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(occurrences(appLog(), why), 1u) << appLog();
    EXPECT_EQ(occurrences(watcherLog(), "notify Global shortcuts are not available|" + why), 1u) << watcherLog();
    EXPECT_EQ(fileText(entry), hidden);
}

// A portal that hangs answers nothing; the app still serves its menu and ends when asked.
TEST_F(KestroOnWayland, APortalThatNeverAnswersDoesNotHoldTheAppUp) {
    ::kill(frontEnd->program().pid(), SIGSTOP);
    startApp();
    ASSERT_TRUE(support::eventually([&] { return menuText().find("Start Call") != std::string::npos; }, 30s))
        << appLog();
    EXPECT_TRUE(desktop->bindings().empty());
    EXPECT_EQ(menuText().find("\u2303P"), std::string::npos) << "nothing is bound yet";
    EXPECT_FALSE(exports("Control+P") || exports("Control+M")) << "nothing is bound yet\n" << menuText();
    EXPECT_EQ(e2e::howItEnded(app->terminate(10s)), "exit code 0") << appLog();
    app.reset();
}

}  // namespace
}  // namespace wayland_test
