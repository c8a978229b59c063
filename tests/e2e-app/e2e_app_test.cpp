// The installed application as a user meets it: the real `kestro` binary on the X display, with a
// sound server of its own whose default output is a bluetooth headset, a session bus of its own,
// the loopback backend and the loopback realtime server. Calls are started and ended with real
// key presses.

#include "e2e-app/installed_app.hpp"

#include <signal.h>
#include <sys/wait.h>

#include "support/newer_service.hpp"

namespace {

using namespace e2e_app;
using e2e::fileText;
using e2e::onPath;

TEST_F(InstalledApp, ControlPStartsACallControlMEndsItAndTheTranscriptIsPosted) {
    startCallWithOneExchange();
    if (HasFatalFailure()) return;

    keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::m});
    EXPECT_EQ(realtime.waitForClientClose(20s), std::optional<std::uint16_t>(1001)) << appLog();
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/transcript").empty(); }, 20s))
        << appLog();
    auto posted = backend.requestsTo("/transcript");
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].method, "POST");
    auto entries = kestro::decodeTranscriptPayload(posted[0].body).entries;
    ASSERT_EQ(entries.size(), 2u) << posted[0].body;
    EXPECT_EQ(entries[0].role, "user");
    EXPECT_EQ(entries[0].content, "Is anyone there?");
    EXPECT_EQ(entries[1].role, "assistant");
    EXPECT_EQ(entries[1].content, "I am here.");

    // Launch at login was switched on at start-up.
    const fs::path autostart = root / "config" / "autostart" / "kestro.desktop";
    ASSERT_TRUE(fs::exists(autostart)) << appLog();
    auto entry = fileText(autostart);
    EXPECT_NE(entry.find("Exec="), std::string::npos) << entry;
    EXPECT_EQ(entry.find("Hidden=true"), std::string::npos) << entry;

    EXPECT_FALSE(app->waitForExit(0ms)) << "the app ended by itself\n" << appLog();
}

// A service newer than the app announces a voice it does not know, with members and an event type
// it does not know: the call connects, keeps the voice, and what was said is posted.
TEST_F(InstalledApp, ACallToANewerServiceConnectsKeepsItsVoiceAndPostsTheTranscript) {
    realtime.actAsNewerService();
    startCallWithOneExchange();
    if (HasFatalFailure()) return;
    EXPECT_EQ((*firstFrame("session.update"))["session"]["voice"], support::kNewerVoice);

    keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::m});
    EXPECT_EQ(realtime.waitForClientClose(20s), std::optional<std::uint16_t>(1001)) << appLog();
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/transcript").empty(); }, 20s))
        << appLog();
    EXPECT_EQ(postedTranscripts(),
              (std::vector<std::vector<std::string>>{{"user:Is anyone there?", "assistant:I am here."}}));
    const auto log = appLog();
    const std::string skipped = "Unknown event type: " + std::string(support::kNewerEventType);
    const auto first = log.find(skipped);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(skipped, first + 1), std::string::npos) << "reported more than once\n" << log;
}

// While the tray menu is open it holds the keyboard, and the hot keys cannot fire: the shortcut
// the user stored (Control+K here, not the default) still starts a call from the open menu.
TEST_F(InstalledApp, AStoredStartShortcutStartsACallWhileTheTrayMenuIsOpen) {
    if (!onPath("trayer")) GTEST_SKIP() << "trayer is not installed (scripts/install-deps.sh installs it)";
    e2e::XServer x;
    if (x.hasXEmbedTray()) GTEST_SKIP() << "the X display already has a system tray";
    fs::create_directories(root / "config" / "kestro");
    // Carbon key code 40 is K, 4096 the control modifier.
    std::ofstream(root / "config" / "kestro" / "defaults.json")
        << R"({"GlobalShortcuts_startSession": "{\"carbonKeyCode\":40,\"carbonModifiers\":4096}"})";
    e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, appEnvironment(),
                            root / "set-credential.log", "app-credential\n");
    ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");

    tray.emplace(e2e::trayerCommand(), std::map<std::string, std::string>{}, root / "trayer.log");
    ASSERT_TRUE(support::eventually([&] { return x.hasXEmbedTray(); }, 10s)) << fileText(root / "trayer.log");
    app.emplace(std::vector<std::string>{KESTRO_APP_PATH}, appEnvironment(), root / "kestro.log");
    ASSERT_TRUE(support::eventually([&] { return x.embeddedWindowOf("kestro"); }, 20s)) << appLog();
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/usage").empty(); }, 30s)) << appLog();
    ASSERT_TRUE(e2e::openTrayMenu(x, "kestro")) << appLog();
    // Opening the menu refreshes the counts; the start shortcut counts once they are in.
    ASSERT_TRUE(support::eventually([&] { return backend.requestsTo("/usage").size() >= 2; }, 20s)) << appLog();

    bool asked = false;
    for (int attempt = 0; attempt < 10 && !asked; ++attempt) {
        ASSERT_TRUE(x.menuOf("kestro")) << "the menu closed\n" << appLog();
        keys.chord({x11_test::Keysym::controlL, 0x6b /* k */});
        asked = support::eventually([&] { return !backend.requestsTo("/session").empty(); }, 1500ms);
    }
    EXPECT_TRUE(asked) << "Control+K in the open menu started no call\n" << appLog();
    EXPECT_FALSE(app->waitForExit(0ms)) << appLog();
}

// As at logout: the session sends SIGTERM while a call runs. The call ends as End Call ends it:
// the connection closes with "going away" and the transcript is posted (or, when the backend
// refuses it, waits in the outbox); then the app exits.
class EndedByTheSession : public InstalledApp {
protected:
    void sigtermMidCall() {
        startCallWithOneExchange();
        if (HasFatalFailure()) return;
        app->signal(SIGTERM);
        EXPECT_EQ(realtime.waitForClientClose(20s), std::optional<std::uint16_t>(1001)) << appLog();
        auto status = app->waitForExit(20s);
        ASSERT_TRUE(status.has_value()) << "still running 20 s after SIGTERM\n" << appLog();
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << "wait status " << *status << "\n" << appLog();
        auto posted = postedTranscripts();
        ASSERT_EQ(posted.size(), 1u) << appLog();
        EXPECT_EQ(posted[0], said);
    }

    const std::vector<std::string> said{"user:Is anyone there?", "assistant:I am here."};
};

TEST_F(EndedByTheSession, SigtermMidCallPostsTheTranscript) {
    sigtermMidCall();
    EXPECT_EQ(keptTranscripts(), std::vector<std::vector<std::string>>{});
}

TEST_F(EndedByTheSession, SigtermMidCallKeepsTheTranscriptTheBackendRefuses) {
    backend.setReply("/transcript", support::ScriptedReply::text(503, "maintenance"));
    sigtermMidCall();
    EXPECT_EQ(keptTranscripts(), std::vector<std::vector<std::string>>{said}) << appLog();
}

}  // namespace
