// A whole call through the real controller and conversation: credential from the loopback
// backend, the realtime exchange with the loopback realtime server, the microphone and speaker
// played by a FakeAudioEngine, and the transcript posted back to the backend at the end.

#include "app/menu_bar_state_manager.hpp"
#include "app/session_manager.hpp"
#include "app/session_services.hpp"
#include "app/transcript_entry.hpp"
#include "app/transcript_manager.hpp"
#include "app/usage_manager.hpp"
#include "platform/audio/fake_audio_engine.hpp"
#include "platform/audio/pcm_buffer.hpp"
#include "platform/notifications/notification_center.hpp"
#include "platform/runtime/print.hpp"
#include "realtime/model/base64.hpp"
#include "support/backend_environment.hpp"
#include "support/engine_probe.hpp"
#include "support/real_time_output.hpp"
#include "support/newer_service.hpp"
#include "support/process_memory.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

#include <gtest/gtest.h>


#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using json = support::Json;
using namespace std::chrono_literals;
using support::realtimeSession;
using support::serverEvent;

// Microphone buffers of a rising ramp: after any resampling the wire samples still rise, so a
// chunk sent out of order shows up as a fall.
std::shared_ptr<platform::PcmBuffer> rampBuffer(const platform::AudioFormat& format, std::uint32_t frames,
                                                std::uint64_t start, std::uint64_t total) {
    auto buffer = platform::PcmBuffer::make(format, frames);
    buffer->setFrameLength(frames);
    auto samples = buffer->floatData();
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples[i] = -0.8f + 1.6f * static_cast<float>(start + i) / static_cast<float>(total);
    }
    return buffer;
}

std::vector<std::int16_t> wireSamples(const std::string& base64) {
    auto bytes = realtime::base64Decode(base64).value_or(realtime::Bytes{});
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

// A message the service reports as created in the conversation.
json itemCreated(const std::string& id, const std::string& role, json content, const char* status = "completed") {
    return serverEvent("conversation.item.created",
                       {{"previous_item_id", nullptr},
                        {"item", {{"id", id}, {"type", "message"}, {"status", status}, {"role", role}, {"content", content}}}});
}

class EndToEndCall : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
        backend.storeCredential();
        backend.backend.setReply("/session", support::ScriptedReply::json(200, R"({"client_secret":" ek_test \n","used":3,"total":10})"));
        backend.backend.setReply("/usage", support::ScriptedReply::json(200, R"({"used":2,"total":10})"));
        backend.backend.setReply("/transcript", support::ScriptedReply::json(200, "{}"));
    }
    void TearDown() override {
        runtime.onMain([&] {
            manager.reset();
            menu.reset();
        });
        ::unsetenv("KESTRO_REALTIME_URL");
    }

    // The menu state with its first refresh, and the controller with the application's services
    // (devices taken as present: the machine's sound server is not asked); then a call is started
    // once the menu offers it.
    void startCall() {
        runtime.onMain([&] {
            menu = std::make_unique<kestro::MenuBarStateManager>(
                runtime.main(), runtime.shared(), [&] { return kestro::fetchUsage(backend.network); }, notifications);
            menu->refreshState();
            auto services = kestro::makeSessionServices(runtime.runtime(), backend.network, *menu, transcripts, probe);
            services.hasHeadphones = services.hasMicrophone = services.isNetworkReachable = [] { return true; };
            manager = kestro::SessionManager::create(runtime.main(), runtime.shared(), std::move(services));
            manager->setUsageManager(usage);
        });
        ASSERT_TRUE(onMainEventually([&] { return menu->currentState.get() == kestro::MenuBarState::callsAvailable; }));
        runtime.onMain([&] { manager->startSession(); });
    }

    template <class F>
    bool onMainEventually(F condition) {
        return support::eventually([&] { return runtime.onMain(condition); });
    }
    // The wire samples of every append the server received, in arrival order.
    std::vector<std::int16_t> appendedSamples() const {
        std::vector<std::int16_t> received;
        for (const auto& frame : server.frames()) {
            auto message = json::parse(frame.data);
            if (message["type"] != "input_audio_buffer.append") continue;
            auto samples = wireSamples(message["audio"].get<std::string>());
            received.insert(received.end(), samples.begin(), samples.end());
        }
        return received;
    }
    // The appended samples once at least `atLeast` have arrived (fewer when they never do).
    std::vector<std::int16_t> appendedSamplesOnce(std::size_t atLeast) const {
        std::vector<std::int16_t> received;
        support::eventually([&] {
            received = appendedSamples();
            return received.size() >= atLeast;
        });
        return received;
    }
    // The one transcript the backend received, as "role:content:type" lines.
    std::vector<std::string> postedTranscript() const {
        auto posted = backend.backend.requestsTo("/transcript");
        EXPECT_EQ(posted.size(), 1u);
        std::vector<std::string> lines;
        if (posted.empty()) return lines;
        for (const auto& entry : kestro::decodeTranscriptPayload(posted[0].body).entries) {
            lines.push_back(entry.role + ":" + entry.content + ":" + entry.type);
        }
        return lines;
    }

    support::TestRuntime runtime;
    support::BackendEnvironment backend;
    support::RealtimeServer server;
    std::shared_ptr<platform::FakeAudioEngine> engine = std::make_shared<platform::FakeAudioEngine>();
    // The engine the call runs on, keeping the player it makes in view.
    std::shared_ptr<support::EngineProbe> probe = std::make_shared<support::EngineProbe>(engine);
    platform::NotificationCenter notifications;
    std::shared_ptr<kestro::TranscriptManager> transcripts =
        std::make_shared<kestro::TranscriptManager>(backend.network, std::nullopt);
    std::shared_ptr<kestro::UsageManager> usage = std::make_shared<kestro::UsageManager>();
    std::unique_ptr<kestro::MenuBarStateManager> menu;
    std::shared_ptr<kestro::SessionManager> manager;
};

TEST_F(EndToEndCall, StartTalkAndEndPostsTheTranscript) {
    server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
    startCall();
    ASSERT_TRUE(server.waitForConnection());
    EXPECT_EQ(server.handshake().header("Authorization"), "Bearer ek_test");
    EXPECT_NE(server.handshake().target.find("model=gpt-4o-realtime-preview"), std::string::npos);
    ASSERT_TRUE(onMainEventually([&] { return manager->isConversationActive.get(); }));
    EXPECT_EQ(runtime.onMain([&] { return std::pair(usage->usedCalls.get(), usage->totalCalls.get()); }),
              (std::pair<std::int64_t, std::int64_t>(3, 10)));

    // Transcription is switched on once the session is known.
    auto findUpdate = [&]() -> std::optional<json> {
        for (const auto& frame : server.frames()) {
            auto message = json::parse(frame.data);
            if (message["type"] == "session.update") return message;
        }
        return std::nullopt;
    };
    ASSERT_TRUE(support::eventually([&] { return findUpdate().has_value(); }));
    auto update = *findUpdate();
    EXPECT_EQ(update["session"]["input_audio_transcription"]["model"], "whisper-1");
    EXPECT_FALSE(update["session"].contains("id"));
    server.sendText(serverEvent("session.updated", {{"session", realtimeSession(true)}}).dump());

    // The microphone: a ramp in tap-sized buffers; it reaches the server in order.
    ASSERT_TRUE(engine->waitForTap());
    const auto format = engine->inputFormat();
    constexpr std::uint32_t frames = 4096;
    constexpr std::uint64_t buffers = 12;
    for (std::uint64_t i = 0; i < buffers; ++i) engine->pushInput(rampBuffer(format, frames, i * frames, buffers * frames));
    engine->waitForInput();
    std::vector<std::int16_t> received;
    ASSERT_TRUE(support::eventually([&] {
        received = appendedSamples();
        // 24 kHz on the wire from 48 kHz in: about half the frames, less what the resampler holds.
        return received.size() >= buffers * frames / 2 - frames;
    }));
    for (std::size_t i = 1024; i < received.size(); ++i) {
        ASSERT_GE(received[i], received[i - 1] - 64) << "sample " << i << " falls: audio out of order";
    }

    // The user's words, transcribed, and the assistant's answer.
    server.sendText(itemCreated("item_user", "user", {{{"type", "input_audio"}, {"transcript", nullptr}}}).dump());
    server.sendText(serverEvent("conversation.item.input_audio_transcription.completed",
                                {{"item_id", "item_user"}, {"content_index", 0}, {"transcript", "What time is it?"}})
                        .dump());
    auto answer = itemCreated("item_answer", "assistant", json::array(), "in_progress");
    answer["previous_item_id"] = "item_user";
    server.sendText(answer.dump());
    answer["item"]["status"] = "completed";
    answer["item"]["content"] = {{{"type", "audio"}, {"transcript", "It is noon."}}};
    server.sendText(
        serverEvent("response.output_item.done", {{"response_id", "resp_1"}, {"output_index", 0}, {"item", answer["item"]}})
            .dump());
    ASSERT_TRUE(onMainEventually([&] { return transcripts->sessionEntries.size() == 2; }));

    runtime.onMain([&] { manager->endSession(); });
    EXPECT_EQ(server.waitForClientClose(), std::optional<std::uint16_t>(1001));
    ASSERT_TRUE(onMainEventually([&] { return !manager->isSendingTranscript.get(); }));
    EXPECT_EQ(postedTranscript(), (std::vector<std::string>{"user:What time is it?:audio", "assistant:It is noon.:audio"}));
    EXPECT_EQ(runtime.onMain([&] { return manager->errorMessage.get(); }), std::nullopt);
}

TEST_F(EndToEndCall, TheFirstWordsReachTheServiceThoughItsConnectionOpensLate) {
    server.holdHandshakes(true);
    server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
    startCall();
    // Listening has started; the connection is still opening while the user speaks.
    ASSERT_TRUE(engine->waitForTap());
    const auto format = engine->inputFormat();
    constexpr std::uint32_t frames = 4096;
    constexpr std::uint64_t buffers = 24;
    for (std::uint64_t i = 0; i < buffers; ++i) engine->pushInput(rampBuffer(format, frames, i * frames, buffers * frames));
    engine->waitForInput();
    server.holdHandshakes(false);
    ASSERT_TRUE(server.waitForConnection());

    // All the tap was handed, at 24 kHz, less what the resampler holds back.
    const std::uint64_t tapped = buffers * frames / 2, held = 1024;
    const auto received = appendedSamplesOnce(tapped - held);
    ASSERT_GE(received.size(), tapped - held) << received.size() << " of " << tapped << " wire frames";
    EXPECT_LE(received.size(), tapped);
    for (std::size_t i = held; i < received.size(); ++i) {
        ASSERT_GE(received[i], received[i - 1] - 64) << "sample " << i << " falls: audio out of order";
        ASSERT_LE(received[i], received[i - 1] + 64) << "sample " << i << " jumps: audio missing";
    }
    runtime.onMain([&] { manager->endSession(); });
    EXPECT_EQ(server.waitForClientClose(), std::optional<std::uint16_t>(1001));
}

// The backend takes a second to hand out the call's credential, and the user starts speaking at
// once: the microphone is open before the backend answers, and what is said meanwhile reaches the
// service ahead of the rest, in order.
TEST_F(EndToEndCall, WhatIsSaidWhileTheBackendIsAskedForTheCredentialReachesTheService) {
    backend.backend.setReply("/session", support::ScriptedReply::json(
                                             200, R"({"client_secret":"ek_test","used":3,"total":10})")
                                             .after(1s));
    server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
    startCall();
    ASSERT_TRUE(engine->waitForTap(500ms)) << "the microphone waits for the credential";
    EXPECT_TRUE(runtime.onMain([&] { return manager->isStartingSession.get(); }));
    const auto format = engine->inputFormat();
    constexpr std::uint32_t frames = 4096;
    constexpr std::uint64_t buffers = 24;  // the first half said before the backend answers
    for (std::uint64_t i = 0; i < buffers / 2; ++i) engine->pushInput(rampBuffer(format, frames, i * frames, buffers * frames));
    engine->waitForInput();
    EXPECT_EQ(server.connectionCount(), 0u);
    ASSERT_TRUE(server.waitForConnection(1, 10s));
    for (std::uint64_t i = buffers / 2; i < buffers; ++i) engine->pushInput(rampBuffer(format, frames, i * frames, buffers * frames));
    engine->waitForInput();

    const std::uint64_t tapped = buffers * frames / 2, held = 1024;
    const auto received = appendedSamplesOnce(tapped - held);
    ASSERT_GE(received.size(), tapped - held) << received.size() << " of " << tapped << " wire frames";
    for (std::size_t i = held; i < received.size(); ++i) {
        ASSERT_GE(received[i], received[i - 1] - 64) << "sample " << i << " falls: audio out of order";
        ASSERT_LE(received[i], received[i - 1] + 64) << "sample " << i << " jumps: audio missing";
    }
    ASSERT_TRUE(onMainEventually([&] { return manager->isConversationActive.get(); }));
    runtime.onMain([&] { manager->endSession(); });
    EXPECT_EQ(server.waitForClientClose(), std::optional<std::uint16_t>(1001));
}

// A backend that does not answer: ending the call gives the start up at once. The request is
// cancelled (the backend sees its connection close), the microphone is closed and nothing of what
// it heard goes anywhere: no connection to the service, no transcript.
TEST_F(EndToEndCall, EndingAStartWhoseBackendDoesNotAnswerCancelsTheRequestAndClosesTheMicrophone) {
    backend.backend.setReply("/session", support::ScriptedReply::json(200, R"({"client_secret":"ek_test"})").after(60s));
    startCall();
    ASSERT_TRUE(engine->waitForTap());
    ASSERT_TRUE(support::eventually([&] { return !backend.backend.requestsTo("/session").empty(); }));
    const auto format = engine->inputFormat();
    for (std::uint64_t i = 0; i < 4; ++i) engine->pushInput(rampBuffer(format, 4096, i * 4096, 4 * 4096));
    engine->waitForInput();

    runtime.onMain([&] { manager->endSession(); });
    EXPECT_FALSE(runtime.onMain([&] {
        return manager->isStartingSession.get() || manager->isConversationActive.get() ||
               manager->isSendingTranscript.get();
    }));
    EXPECT_TRUE(support::eventually([&] { return backend.backend.abandoned() == std::vector<std::string>{"/session"}; }, 5s))
        << "the credential request is still waiting";
    EXPECT_FALSE(engine->hasTap());
    EXPECT_TRUE(support::eventually([&] { return !engine->isRunning(); })) << "the audio engine still runs";
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.connectionCount(), 0u);
    EXPECT_TRUE(backend.backend.requestsTo("/transcript").empty());
    EXPECT_EQ(runtime.onMain([&] { return manager->errorMessage.get(); }), std::nullopt);
}

TEST_F(EndToEndCall, AServerClosingMidCallEndsItWithCannotConnectAndPostsWhatWasSaid) {
    server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
    startCall();
    ASSERT_TRUE(server.waitForConnection());
    server.sendText(itemCreated("item_user", "user", {{{"type", "input_audio"}, {"transcript", "Are you there?"}}}).dump());
    ASSERT_TRUE(onMainEventually([&] { return transcripts->sessionEntries.size() == 1; }));
    server.close(1011);

    ASSERT_TRUE(onMainEventually([&] { return !manager->isConversationActive.get() && !manager->isSendingTranscript.get(); }));
    EXPECT_EQ(runtime.onMain([&] { return manager->errorMessage.get(); }), "Cannot Connect");
    EXPECT_EQ(postedTranscript(), std::vector<std::string>{"user:Are you there?:audio"});
}

// A call whose answer comes as the service sends it (after the user's words), the speaker taking
// audio in real time.
class PacedAnswer : public EndToEndCall {
protected:
    void answerThroughACall(support::ServiceBehaviour behaviour, std::chrono::milliseconds length) {
        server.setBehaviour(behaviour);
        server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
        startCall();
        ASSERT_TRUE(onMainEventually([&] { return manager->isConversationActive.get(); }));
        server.sendText(itemCreated("item_user", "user", {{{"type", "input_audio"}, {"transcript", "What time is it?"}}}).dump());
        auto answer = support::SpokenAnswer::lasting(length, "It is noon.");
        answer.previousItemId = "item_user";
        server.sendAnswer(answer);
        auto sent = server.waitForSent("response.audio.delta");
        ASSERT_TRUE(sent);
        firstDelta = *sent;
    }
    double playedMs() const {
        auto player = probe->player();
        auto time = player ? player->lastRenderTime() : std::nullopt;
        return time ? double(time->sampleTime) * 1000 / time->sampleRate : -1;
    }
    std::optional<json> truncation() const {
        for (const auto& frame : server.frames()) {
            auto message = json::parse(frame.data);
            if (message["type"] == "conversation.item.truncate") return message;
        }
        return std::nullopt;
    }
    void endAndExpectTheAnswerInTheTranscript() {
        runtime.onMain([&] { manager->endSession(); });
        ASSERT_TRUE(onMainEventually([&] { return !manager->isConversationActive.get() && !manager->isSendingTranscript.get(); }));
        EXPECT_EQ(postedTranscript(), (std::vector<std::string>{"user:What time is it?:audio", "assistant:It is noon.:audio"}));
    }

    std::chrono::steady_clock::time_point firstDelta;
};

TEST_F(PacedAnswer, SpeakingUpTwoSecondsIntoAnAnswerThatArrivedInASecondTruncatesItAtWhatWasPlayed) {
    support::RealTimeOutput speaker(engine);
    answerThroughACall(support::ServiceBehaviour::fastAnswers(), 6s);
    ASSERT_TRUE(server.waitForSent("response.done"));
    std::this_thread::sleep_until(firstDelta + 2s);
    server.sendText(serverEvent("input_audio_buffer.speech_started", {{"audio_start_ms", 2000}, {"item_id", "item_next"}}).dump());
    ASSERT_TRUE(support::eventually([&] { return truncation().has_value(); }));
    speaker.stop();
    const auto audioEndMs = (*truncation())["audio_end_ms"].get<std::int64_t>();
    std::printf("call, fast answer, speech at 2 s: audio_end_ms %lld, player position %.0f ms\n",
                static_cast<long long>(audioEndMs), playedMs());
    EXPECT_EQ((*truncation())["item_id"], "item_answer");
    EXPECT_NEAR(double(audioEndMs), playedMs(), 50);
    EXPECT_GT(playedMs(), 1700);
    endAndExpectTheAnswerInTheTranscript();
}

TEST_F(PacedAnswer, AnAnswerAtRealTimePaceWithJitterPlaysThroughWithoutAGap) {
    support::RealTimeOutput speaker(engine);
    answerThroughACall(support::ServiceBehaviour::realTimePace(30ms), 2400ms);
    ASSERT_TRUE(support::eventually([&] { return probe->player() && probe->player()->isPlaying(); }));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.waitForSent("response.done"));
    ASSERT_TRUE(support::eventually([&] { return playedMs() >= 2400 - 50; }, 5s)) << playedMs();
    speaker.stop();
    // A sanitizer build runs the conversation and the output too slowly for real time: there the
    // figures are printed, not held to their bounds.
    if (!support::underSanitizer()) {
        EXPECT_EQ(probe->player()->underrunCount(), 0u);
        EXPECT_LE(started - firstDelta, 150ms);
    }
    EXPECT_FALSE(truncation().has_value());
    endAndExpectTheAnswerInTheTranscript();
}

// The service announces a voice this client does not know, adds members and event types: the
// call connects all the same, and switching transcription on keeps the voice it announced.
TEST_F(EndToEndCall, ACallToANewerServiceConnectsAndKeepsItsNewVoice) {
    server.actAsNewerService();
    server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
    startCall();
    ASSERT_TRUE(server.waitForConnection());
    std::optional<json> update;
    ASSERT_TRUE(support::eventually([&] {
        for (const auto& frame : server.frames()) {
            auto message = json::parse(frame.data);
            if (message["type"] == "session.update") update = message;
        }
        return update.has_value();
    }));
    EXPECT_EQ((*update)["session"]["voice"], support::kNewerVoice);
    EXPECT_EQ((*update)["session"]["input_audio_transcription"]["model"], "whisper-1");
    EXPECT_TRUE(runtime.onMain([&] { return manager->isConversationActive.get(); }));
    EXPECT_EQ(runtime.onMain([&] { return manager->errorMessage.get(); }), std::nullopt);
    runtime.onMain([&] { manager->endSession(); });
    EXPECT_EQ(server.waitForClientClose(), std::optional<std::uint16_t>(1001));
}

TEST_F(EndToEndCall, AMicrophoneThatCannotBeConvertedShowsNoMicrophone) {
    engine->setConverterCreationFails(true);
    startCall();
    ASSERT_TRUE(onMainEventually([&] { return manager->errorMessage.get().has_value(); }));
    EXPECT_EQ(runtime.onMain([&] { return manager->errorMessage.get(); }), "No Microphone");
    EXPECT_FALSE(runtime.onMain([&] { return manager->isConversationActive.get() || manager->isStartingSession.get(); }));
    // The dropped conversation closes its connection.
    if (server.waitForConnection(1, 2s)) {
        EXPECT_TRUE(server.waitForClientClose().has_value());
    }
}

// A microphone at its real pace: buffer i is due i buffer lengths after the start. A feeder held
// up (the whole process stopped) hands over every buffer that fell due meanwhile at once, as a
// sound server hands over what it kept for a client that did not read.
class RealPaceMicrophone {
public:
    explicit RealPaceMicrophone(platform::FakeAudioEngine& engine)
        : thread_([this, &engine](std::stop_token stop) {
              const auto format = engine.inputFormat();
              const auto length = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                  std::chrono::duration<double>(frames / format.sampleRate));
              const auto start = std::chrono::steady_clock::now();
              for (std::uint64_t i = 0; !stop.stop_requested(); ++i) {
                  std::this_thread::sleep_until(start + i * length);
                  engine.pushInput(rampBuffer(format, frames, (i * frames) % total, total));
              }
          }) {}

private:
    static constexpr std::uint32_t frames = 4096;
    static constexpr std::uint64_t total = 48000 * 60;
    std::jthread thread_;
};

// The wire audio the service received, in seconds.
double secondsOf(std::size_t wireFrames) { return static_cast<double>(wireFrames) / 24000; }

TEST_F(EndToEndCall, AServiceThatFallsSilentMidCallEndsItWithCannotConnectAndPostsWhatWasSaid) {
    server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
    startCall();
    ASSERT_TRUE(server.waitForConnection());
    server.sendText(itemCreated("item_user", "user", {{{"type", "input_audio"}, {"transcript", "Are you there?"}}}).dump());
    ASSERT_TRUE(onMainEventually([&] { return transcripts->sessionEntries.size() == 1; }));

    // Its packets vanish: no answer, no pong, no reset.
    const auto silent = std::chrono::steady_clock::now();
    server.stopAnswering(true);
    ASSERT_TRUE(support::eventually(
        [&] { return runtime.onMain([&] { return !manager->isConversationActive.get() && !manager->isSendingTranscript.get(); }); },
        40s));
    // Generous: the measured figure is in docs/performance.md.
    EXPECT_LT(std::chrono::steady_clock::now() - silent, 20s);
    EXPECT_EQ(runtime.onMain([&] { return manager->errorMessage.get(); }), "Cannot Connect");
    EXPECT_EQ(postedTranscript(), std::vector<std::string>{"user:Are you there?:audio"});
}

TEST_F(EndToEndCall, AfterTheProcessWasStoppedTheAudioItsSoundServerKeptIsNotSentAsLive) {
    std::mutex mutex;
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        printed.emplace_back(line);
    });
    server.sendText(serverEvent("session.created", {{"session", realtimeSession(false)}}).dump());
    startCall();
    ASSERT_TRUE(onMainEventually([&] { return manager->isConversationActive.get(); }));
    ASSERT_TRUE(engine->waitForTap());
    RealPaceMicrophone microphone(*engine);
    ASSERT_TRUE(support::eventually([&] { return appendedSamples().size() > 24000; }));

    // Stopped for longer than a silent connection may last, as by a laptop's lid or SIGSTOP; a
    // child process wakes us.
    constexpr int stoppedSeconds = 11;
    const std::string script = "sleep " + std::to_string(stoppedSeconds) + "; kill -CONT " + std::to_string(::getpid());
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t waker = 0;
    ASSERT_EQ(::posix_spawnp(&waker, "sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    const auto before = appendedSamples().size();
    ::raise(SIGSTOP);
    ::waitpid(waker, nullptr, 0);

    // A second after: what was said in the last moments, and since; not the 11 s of backlog.
    std::this_thread::sleep_for(1s);
    const auto sent = secondsOf(appendedSamples().size() - before);
    EXPECT_LT(sent, 5.0) << sent << " s of audio went out in the second after the stop";
    EXPECT_GT(sent, 0.5);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(std::count(printed.begin(), printed.end(),
                             "Microphone audio dropped: it was held up for too long to be sent as live."),
                  1);
    }

    // The service kept the call, and so does the app.
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(runtime.onMain([&] { return manager->isConversationActive.get(); }));
    EXPECT_EQ(runtime.onMain([&] { return manager->errorMessage.get(); }), std::nullopt);
    runtime.onMain([&] { manager->endSession(); });
    EXPECT_EQ(server.waitForClientClose(), std::optional<std::uint16_t>(1001));
}

}  // namespace
