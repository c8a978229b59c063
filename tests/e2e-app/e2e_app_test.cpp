// The installed application as a user meets it: the real `kestro` binary on the X display, with a
// sound server of its own whose default output is a bluetooth headset, a session bus of its own,
// the loopback backend and the loopback realtime server. Calls are started and ended with real
// key presses.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "app/transcript_entry.hpp"
#include "e2e-app/child_process.hpp"
#include "e2e-app/x_desktop.hpp"
#include "realtime/model/base64.hpp"
#include "support/backend_environment.hpp"
#include "support/newer_service.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"
#include "x11/x11_driver.hpp"

namespace {

using json = support::Json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using support::realtimeSession;
using support::serverEvent;

using e2e::fileText;
using e2e::onPath;

// The application refuses calls while the machine has no default route.
bool hasDefaultRoute() {
    return std::system("{ ip route show default; ip -6 route show default; } 2>/dev/null | grep -q .") == 0;
}

class InstalledApp : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto why = keys.unavailable(); !why.empty()) GTEST_SKIP() << why;
        for (const char* program : {"pulseaudio", "pactl", "dbus-daemon"}) {
            if (!onPath(program))
                GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
        }
        if (!hasDefaultRoute())
            GTEST_SKIP() << "the machine has no default route, and the app refuses calls without one";

        for (const char* name : {"config", "state", "home", "runtime", "pulse"})
            fs::create_directories(root / name);
        ::chmod((root / "runtime").c_str(), 0700);
        startSessionBus();
        if (HasFatalFailure()) return;
        startSoundServer();
        if (HasFatalFailure()) return;

        backend.setReply("/usage", support::ScriptedReply::json(200, R"({"used":2,"total":10})"));
        backend.setReply("/session", support::ScriptedReply::json(
                                         200, R"({"client_secret":"ek_app","used":3,"total":10})"));
        backend.setReply("/transcript", support::ScriptedReply::json(200, "{}"));
    }

    // However the case went, the app ends cleanly on SIGTERM, as at logout. A sanitizer's report
    // in the app shows only here, as a failing exit code (the logs hold the report).
    void TearDown() override {
        if (!app) return;
        EXPECT_EQ(e2e::howItEnded(app->terminate(30s)), "exit code 0") << appLog();
    }

    std::map<std::string, std::string> appEnvironment() const {
        auto environment = e2e::appSessionEnvironment(root, busAddress(), backend.baseUrl());
        environment["PULSE_SERVER"] = pulseServer();
        environment["KESTRO_REALTIME_URL"] = realtime.baseUrl();
        return environment;
    }

    std::string busAddress() const { return "unix:path=" + (root / "bus").string(); }
    std::string pulseServer() const { return "unix:" + (root / "pulse" / "native").string(); }

    void startSessionBus() {
        bus.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                             "--address=" + busAddress()},
                    std::map<std::string, std::string>{}, root / "dbus.log");
        ASSERT_TRUE(support::eventually([&] { return fs::exists(root / "bus"); }, 10s))
            << fileText(root / "dbus.log");
    }

    // The default output is a null sink that says it is a bluetooth headset; the default input a
    // sine tone standing in for the user's voice.
    void startSoundServer() {
        const fs::path folder = root / "pulse";
        std::ofstream(folder / "default.pa")
            << "load-module module-native-protocol-unix auth-anonymous=1 socket="
            << (folder / "native").string() << "\n"
            << "load-module module-null-sink sink_name=kestro_headset "
               "sink_properties='device.bus=bluetooth device.form_factor=headset "
               "device.description=Headset'\n"
            << "load-module module-sine-source source_name=kestro_voice rate=48000 frequency=440\n"
            << "set-default-sink kestro_headset\n"
            << "set-default-source kestro_voice\n";
        // On the test's own bus: a sound server of the surrounding session already holds its name
        // on the session's bus, and without a bus the daemon would autolaunch one that outlives the test.
        std::map<std::string, std::string> environment{{"XDG_RUNTIME_DIR", folder.string()},
                                                       {"HOME", folder.string()},
                                                       {"DBUS_SESSION_BUS_ADDRESS", busAddress()}};
        pulse.emplace(std::vector<std::string>{"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                               "--disallow-exit", "-F", (folder / "default.pa").string()},
                      environment, root / "pulse.log");
        ASSERT_TRUE(support::eventually(
            [&] {
                return e2e::ChildProcess({"pactl", "info"}, {{"PULSE_SERVER", pulseServer()}},
                                         root / "pactl.log")
                    .succeeds(5s);
            },
            15s))
            << fileText(root / "pulse.log");
    }

    // Presses Control+P until the application asks the backend for a call credential: the hot keys
    // are grabbed some moments after the process starts, and no readiness is visible from outside.
    bool startCallByKeyboard() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::p});
            if (support::eventually([&] { return !backend.requestsTo("/session").empty(); }, 1500ms))
                return true;
            if (app && app->waitForExit(0ms)) return false;
        }
        return false;
    }

    std::string appLog() const { return "kestro printed:\n" + fileText(root / "kestro.log"); }

    std::optional<json> firstFrame(const std::string& type) {
        for (const auto& frame : realtime.frames()) {
            if (frame.kind != support::ReceivedFrame::Kind::text) continue;
            auto message = json::parse(frame.data, nullptr, false);
            if (message.is_object() && message.value("type", "") == type) return message;
        }
        return std::nullopt;
    }

    // The loudest sample of the microphone audio the server has received.
    int loudestMicrophoneSample() {
        int loudest = 0;
        for (const auto& frame : realtime.frames()) {
            auto message = json::parse(frame.data, nullptr, false);
            if (!message.is_object() || message.value("type", "") != "input_audio_buffer.append") continue;
            auto bytes = realtime::base64Decode(message.value("audio", "")).value_or(realtime::Bytes{});
            for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
                std::int16_t sample;
                std::memcpy(&sample, bytes.data() + i, 2);
                loudest = std::max(loudest, std::abs(static_cast<int>(sample)));
            }
        }
        return loudest;
    }

    // Stores the credential as the README says, starts the app, starts a call by its shortcut and
    // has the user and the assistant say one thing each, while the microphone streams.
    void startCallWithOneExchange() {

        // The credential is stored the way the README tells the user to.
        e2e::ChildProcess store({KESTRO_APP_PATH, "--set-credential"}, appEnvironment(),
                                root / "set-credential.log", "app-credential\n");
        ASSERT_TRUE(store.succeeds(30s)) << fileText(root / "set-credential.log");

        realtime.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
        app.emplace(std::vector<std::string>{KESTRO_APP_PATH}, appEnvironment(), root / "kestro.log");
        // The menu asks for the usage counts at start-up.
        ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/usage").empty(); }, 30s)) << appLog();
        EXPECT_EQ(backend.requestsTo("/usage")[0].header("Authorization"), "Bearer app-credential");

        ASSERT_TRUE(startCallByKeyboard()) << appLog();
        EXPECT_EQ(backend.requestsTo("/session")[0].header("Authorization"), "Bearer app-credential");
        ASSERT_TRUE(realtime.waitForConnection(1, 20s)) << appLog();
        EXPECT_EQ(realtime.handshake().header("Authorization"), "Bearer ek_app");

        // Transcription is switched on.
        ASSERT_TRUE(support::eventually([&] { return firstFrame("session.update").has_value(); }, 20s))
            << appLog();
        auto update = *firstFrame("session.update");
        EXPECT_EQ(update["session"]["input_audio_transcription"]["model"], "whisper-1");
        realtime.sendText(serverEvent("session.updated", {{"session", realtimeSession(true)}}).dump());

        // Something to write down: the user's question and the assistant's answer.
        realtime.sendText(
            serverEvent("conversation.item.created",
                        {{"previous_item_id", nullptr},
                         {"item",
                          {{"id", "item_user"},
                           {"type", "message"},
                           {"status", "completed"},
                           {"role", "user"},
                           {"content", {{{"type", "input_audio"}, {"transcript", "Is anyone there?"}}}}}}})
                .dump());
        json answer = {{"id", "item_answer"},
                       {"type", "message"},
                       {"status", "in_progress"},
                       {"role", "assistant"},
                       {"content", json::array()}};
        realtime.sendText(
            serverEvent("conversation.item.created", {{"previous_item_id", "item_user"}, {"item", answer}})
                .dump());
        answer["status"] = "completed";
        answer["content"] = {{{"type", "audio"}, {"transcript", "I am here."}}};
        realtime.sendText(serverEvent("response.output_item.done",
                                      {{"response_id", "resp_1"}, {"output_index", 0}, {"item", answer}})
                              .dump());

        // The sine tone of the default source arrives as microphone audio.
        ASSERT_TRUE(support::eventually([&] { return loudestMicrophoneSample() > 1000; }, 20s))
            << "no microphone audio reached the server\n"
            << appLog();
        // The items went out before that wait; a moment more lets the app read them before the call
        // ends (nothing it sends shows that it has).
        std::this_thread::sleep_for(1s);
    }

    // The transcripts the backend has been sent, as "role:content" lists.
    std::vector<std::vector<std::string>> postedTranscripts() const {
        std::vector<std::vector<std::string>> posted;
        for (const auto& request : backend.requestsTo("/transcript")) {
            posted.emplace_back();
            for (const auto& entry : kestro::decodeTranscriptPayload(request.body).entries)
                posted.back().push_back(entry.role + ":" + entry.content);
        }
        return posted;
    }

    // The transcripts kept for a later upload, likewise.
    std::vector<std::vector<std::string>> keptTranscripts() const {
        std::vector<std::vector<std::string>> kept;
        const fs::path outbox = root / "state" / "kestro" / "outbox";
        if (!fs::exists(outbox)) return kept;
        for (const auto& file : fs::directory_iterator(outbox)) {
            kept.emplace_back();
            for (const auto& entry : kestro::decodeTranscriptPayload(fileText(file.path())).entries)
                kept.back().push_back(entry.role + ":" + entry.content);
        }
        return kept;
    }

    x11_test::Driver keys;
    support::TemporaryFolder folder;
    const fs::path root = folder.path();
    support::FakeBackend backend;
    support::RealtimeServer realtime;
    // Declared last: ended first (the app before the services it uses).
    std::optional<e2e::ChildProcess> bus;
    std::optional<e2e::ChildProcess> pulse;
    std::optional<e2e::ChildProcess> tray;
    std::optional<e2e::ChildProcess> app;
};

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
        ASSERT_TRUE(x.popupOf("kestro")) << "the menu closed\n" << appLog();
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
