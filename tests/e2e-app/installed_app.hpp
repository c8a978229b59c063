#pragma once
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
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/sound_server.hpp"
#include "support/test_runtime.hpp"
#include "x11/x11_driver.hpp"

namespace e2e_app {

using json = support::Json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using support::realtimeSession;
using support::serverEvent;

using e2e::fileText;
using e2e::onPath;

// The application refuses calls while the machine has no default route.
inline bool hasDefaultRoute() {
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
        if (HasFatalFailure() || IsSkipped()) return;

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
    std::string pulseServer() const {
        return soundServer ? soundServer->address() : "unix:" + (root / "pulse" / "native").string();
    }

    // A case that takes its sound server away and brings it back, or runs on PipeWire, names the
    // kind here: the server is then a support::SoundServer (with the same headset and a 440 Hz
    // voice) that the case owns.
    virtual std::optional<support::SoundServerKind> ownSoundServer() const { return std::nullopt; }
    void startSessionBus() {
        bus.emplace(std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                             "--address=" + busAddress()},
                    std::map<std::string, std::string>{}, root / "dbus.log");
        ASSERT_TRUE(support::eventually([&] { return fs::exists(root / "bus"); }, 10s))
            << fileText(root / "dbus.log");
    }

    // The modules of the source "kestro_voice", the user's voice: a sine tone unless a case wants
    // another.
    virtual std::string voiceSource() const {
        return "load-module module-sine-source source_name=kestro_voice rate=48000 frequency=440\n";
    }

    // The default output is a null sink that says it is a bluetooth headset; the default input
    // kestro_voice.
    void startSoundServer() {
        if (auto kind = ownSoundServer()) {
            if (auto why = support::soundServerUnavailable(*kind); !why.empty()) GTEST_SKIP() << why;
            soundServer.emplace(*kind, root / "sound",
                                support::SoundDevices{"kestro_headset",
                                                      "device.bus=bluetooth device.form_factor=headset "
                                                      "device.description=Headset",
                                                      "kestro_voice"});
            auto why = soundServer->start();
            ASSERT_EQ(why, "");
            return;
        }
        const fs::path folder = root / "pulse";
        std::ofstream(folder / "default.pa")
            << "load-module module-native-protocol-unix auth-anonymous=1 socket="
            << (folder / "native").string() << "\n"
            << "load-module module-null-sink sink_name=kestro_headset "
               "sink_properties='device.bus=bluetooth device.form_factor=headset "
               "device.description=Headset'\n"
            << voiceSource()
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
    std::optional<support::SoundServer> soundServer;
    std::optional<e2e::ChildProcess> tray;
    std::optional<e2e::ChildProcess> app;
};

}  // namespace e2e_app
