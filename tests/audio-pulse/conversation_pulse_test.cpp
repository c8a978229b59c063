// The conversation's playback of answers sent as the real service sends them, on the private
// PulseAudio server: the player's own position and underrun count, not a fake's.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/audio/pulse_audio_engine.hpp"
#include "pulse_fixture.hpp"
#include "realtime/conversation/conversation.hpp"
#include "support/engine_probe.hpp"
#include "support/process_memory.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using json = support::Json;
using realtime::Conversation;
using support::ServiceBehaviour;
using support::SpokenAnswer;

class PulseConversation : public ::testing::Test {
protected:
    void SetUp() override {
        KESTRO_REQUIRE_PULSE();
        kestro::test::pactl("set-default-sink kestro_null");
        ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
        server.sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
        conversation = runtime.onMain([&] {
            return Conversation::create(runtime.runtime(), "secret-token", "gpt-4o-realtime-preview", probe);
        });
        ASSERT_TRUE(server.waitForConnection());
        ASSERT_TRUE(support::eventually([&] { return runtime.onMain([&] { return conversation->connected().get(); }); }));
        // The speaker only: the answer plays, nothing is captured.
        runtime.onMain([&] { conversation->startHandlingVoice(); });
        waitForTheSinkToCatchUp();
    }
    // An idle null sink renders two seconds ahead and does not take that back when a stream
    // comes: audio written before it has caught up would play that much late.
    void waitForTheSinkToCatchUp() {
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline) {
            const auto sinks = kestro::test::pactl("list sinks");
            const auto at = sinks.find("Latency: ");
            if (at != std::string::npos && std::stoll(sinks.substr(at + 9)) < 100000) return;
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "the null sink stays far ahead: " << kestro::test::pactl("list sinks");
    }
    void TearDown() override {
        runtime.onMain([&] { conversation.reset(); });
        ::unsetenv("KESTRO_REALTIME_URL");
    }

    std::shared_ptr<platform::PlayerNode> player() { return probe->player(); }
    // Every frame the sound server took from the player, in milliseconds.
    double playedMs() {
        auto time = player()->lastRenderTime();
        return time ? double(time->sampleTime) * 1000 / time->sampleRate : -1;
    }
    std::optional<json> truncation() {
        for (const auto& frame : server.frames()) {
            auto event = json::parse(frame.data);
            if (event["type"] == "conversation.item.truncate") return event;
        }
        return std::nullopt;
    }

    support::TestRuntime runtime;
    support::RealtimeServer server;
    std::shared_ptr<support::EngineProbe> probe =
        std::make_shared<support::EngineProbe>(std::make_shared<platform::PulseAudioEngine>());
    std::shared_ptr<Conversation> conversation;
};

TEST_F(PulseConversation, SpeakingUpTwoSecondsIntoAFastAnswerTruncatesItAtWhatThePlayerPlayed) {
    server.setBehaviour(ServiceBehaviour::fastAnswers());
    server.sendAnswer(SpokenAnswer::lasting(6s));
    const auto answer = server.waitForAnswerSent();
    ASSERT_TRUE(answer);
    EXPECT_LT(answer->done - answer->firstDelta, 1500ms);

    std::this_thread::sleep_until(answer->firstDelta + 2s);
    server.sendText(support::serverEvent("input_audio_buffer.speech_started", {{"audio_start_ms", 2000}, {"item_id", "user"}}).dump());
    ASSERT_TRUE(support::eventually([&] { return truncation().has_value(); }));
    // The stop has reached the server once the player's position stands still.
    double played = playedMs();
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(25ms);
        if (playedMs() == played) break;
        played = playedMs();
    }
    const auto audioEndMs = (*truncation())["audio_end_ms"].get<std::int64_t>();
    std::printf("PulseAudio, fast answer, speech at 2 s: audio_end_ms %lld, player position %.0f ms\n",
                static_cast<long long>(audioEndMs), played);
    EXPECT_EQ((*truncation())["item_id"], "item_answer");
    // What the truncation says was heard is the server's own position at the interruption: it
    // may trail the settled one by what the server read until the stop reached it, and never
    // lead it.
    EXPECT_NEAR(double(audioEndMs), played, 20);
    EXPECT_GT(played, 1500);
}

TEST_F(PulseConversation, AnAnswerAtRealTimePaceWithJitterPlaysWithoutUnderruns) {
    server.setBehaviour(ServiceBehaviour::realTimePace(30ms));
    server.sendAnswer(SpokenAnswer::lasting(2400ms));
    const auto firstDelta = server.waitForSent("response.audio.delta");
    ASSERT_TRUE(firstDelta);
    ASSERT_TRUE(support::eventually([&] { return player() && player()->isPlaying(); }, 10s));
    const auto started = Clock::now();
    ASSERT_TRUE(server.waitForSent("response.done"));
    // Played out, less what the resampler holds back; the player pauses once it has nothing left.
    ASSERT_TRUE(support::eventually([&] { return playedMs() >= 2400 - 50 && !player()->isPlaying(); }, 5s)) << playedMs();
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(started - *firstDelta);
    std::printf("PulseAudio, 100 ms deltas at real-time pace +-30 ms: %llu underruns, playback started %lld ms after "
                "the first delta was sent\n",
                static_cast<unsigned long long>(player()->underrunCount()), static_cast<long long>(delay.count()));
    // A sanitizer build slows the decoding and the sound server's callbacks past real time, so the
    // figures are printed there but held to the bound only in builds that run at speed.
    if (support::underSanitizer()) return;
    EXPECT_EQ(player()->underrunCount(), 0u);
    EXPECT_LE(delay, 150ms);
}

}  // namespace
