// The engine under a sound server that goes away in the middle of its work: it connects again
// once the server is back and captures and plays as before, and gives up, saying why, when the
// server stays away. Each case owns its server (PulseAudio, or PipeWire when KESTRO_SOUND_SERVER
// says so), so that taking it away touches no other test.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/audio/pulse_audio_engine.hpp"
#include "support/audio_signals.hpp"
#include "support/backend_environment.hpp"
#include "support/sound_server.hpp"

namespace {

using namespace std::chrono_literals;
using platform::AudioFormat;
using platform::PcmBuffer;
using platform::PulseAudioEngine;
using Clock = std::chrono::steady_clock;

// Arrival times of tap buffers and completions, and the failure the engine reported.
struct Events {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> buffers;
    std::vector<Clock::time_point> completions;
    std::optional<std::string> failure;
    Clock::time_point failedAt;

    // Waits until `done` holds (checked under the lock) or the timeout passes.
    template <class Done>
    bool waitUntil(Done done, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return done(); });
    }
    std::size_t buffersAfter(Clock::time_point since) {
        return static_cast<std::size_t>(std::count_if(buffers.begin(), buffers.end(),
                                                      [&](auto at) { return at > since; }));
    }
};

class SoundServerRestart : public ::testing::Test {
protected:
    void SetUp() override {
        const char* choice = std::getenv("KESTRO_SOUND_SERVER");
        kind = choice && std::string(choice) == "pipewire" ? support::SoundServerKind::pipewire
                                                           : support::SoundServerKind::pulseaudio;
        if (auto why = support::soundServerUnavailable(kind); !why.empty()) GTEST_SKIP() << why;
        server.emplace(kind, folder.path());
        if (auto why = server->start(); !why.empty()) GTEST_SKIP() << "the sound server did not start: " << why;
        // No engine exists while the environment changes.
        if (const char* shared = std::getenv("PULSE_SERVER")) sharedServer = shared;
        ::setenv("PULSE_SERVER", server->address().c_str(), 1);
    }
    void TearDown() override {
        if (sharedServer) {
            ::setenv("PULSE_SERVER", sharedServer->c_str(), 1);
        } else {
            ::unsetenv("PULSE_SERVER");
        }
    }

    // Starts the engine with a tap and a player whose completions and failures land in `events`.
    std::shared_ptr<platform::PlayerNode> startEngine(PulseAudioEngine& engine) {
        engine.setFailureHandler([this](const std::string& reason) {
            std::lock_guard lock(events.mutex);
            events.failure = reason;
            events.failedAt = Clock::now();
            events.changed.notify_all();
        });
        engine.installTap(4096, [this](std::shared_ptr<PcmBuffer>) {
            std::lock_guard lock(events.mutex);
            events.buffers.push_back(Clock::now());
            events.changed.notify_all();
        });
        auto node = engine.makePlayerNode();
        engine.attach(node);
        engine.connect(node, AudioFormat::float32(48000, 1));
        engine.start();
        return node;
    }

    // Schedules half a second of tone and plays it.
    void playTone(platform::PlayerNode& node) {
        node.scheduleBuffer(kestro::test::makeSine(node.outputFormat(), 24000, 440), [this] {
            std::lock_guard lock(events.mutex);
            events.completions.push_back(Clock::now());
            events.changed.notify_all();
        });
        node.play();
    }

    support::SoundServerKind kind = support::SoundServerKind::pulseaudio;
    support::TemporaryFolder folder;
    std::optional<support::SoundServer> server;
    std::optional<std::string> sharedServer;
    Events events;
};

TEST_F(SoundServerRestart, AfterTwoSecondsAwayTheServerIsBackAndTheMicrophoneAndPlayerWorkAsBefore) {
    PulseAudioEngine engine;
    auto node = startEngine(engine);
    ASSERT_TRUE(events.waitUntil([&] { return events.buffers.size() >= 3; }, 10s)) << server->log();
    playTone(*node);
    ASSERT_TRUE(events.waitUntil([&] { return events.completions.size() == 1; }, 5s))
        << server->log();

    server->takeAway();
    // Away, nothing plays: what is scheduled meanwhile completes at once instead of waiting.
    std::this_thread::sleep_for(300ms);
    playTone(*node);
    EXPECT_TRUE(events.waitUntil([&] { return events.completions.size() == 2; }, 2s));
    std::this_thread::sleep_for(1700ms);
    ASSERT_EQ(server->bringBack(), "");
    const auto back = Clock::now();

    // Within 3 s of the server being back the tap has whole buffers again, on the same block.
    EXPECT_TRUE(events.waitUntil([&] { return events.buffersAfter(back) >= 2; }, 3s))
        << "no microphone audio after the server came back\n" << server->log();
    // And the player plays: the tone's completion comes once the server has read it.
    playTone(*node);
    EXPECT_TRUE(events.waitUntil([&] { return events.completions.size() == 3; }, 3s));
    EXPECT_TRUE(engine.isRunning());
    std::lock_guard lock(events.mutex);
    EXPECT_FALSE(events.failure.has_value()) << *events.failure;
}

TEST_F(SoundServerRestart, AServerThatStaysAwayStopsTheEngineAndItsFailureIsToldWithin12Seconds) {
    PulseAudioEngine engine;
    auto node = startEngine(engine);
    ASSERT_TRUE(events.waitUntil([&] { return events.buffers.size() >= 1; }, 10s)) << server->log();
    server->takeAway();
    const auto gone = Clock::now();
    ASSERT_TRUE(events.waitUntil([&] { return events.failure.has_value(); }, 12s));
    std::string reason;
    {
        std::lock_guard lock(events.mutex);
        reason = *events.failure;
        EXPECT_GE(events.failedAt - gone, 9s) << "gave up before the server had its 10 s";
    }
    EXPECT_NE(reason.find("did not come back within 10.0 s"), std::string::npos) << reason;
    EXPECT_FALSE(engine.isRunning());
    // A stopped engine starts again once there is a server.
    ASSERT_EQ(server->bringBack(), "");
    const auto back = Clock::now();
    engine.start();
    EXPECT_TRUE(events.waitUntil([&] { return events.buffersAfter(back) >= 1; }, 5s));
}

TEST_F(SoundServerRestart, StoppingTheEngineWhileItWaitsForTheServerEndsTheWaitAtOnce) {
    std::optional<PulseAudioEngine> engine(std::in_place);
    startEngine(*engine);
    ASSERT_TRUE(events.waitUntil([&] { return events.buffers.size() >= 1; }, 10s)) << server->log();
    server->takeAway();
    std::this_thread::sleep_for(500ms);
    const auto stopping = Clock::now();
    engine->stop();
    engine.reset();
    EXPECT_LT(Clock::now() - stopping, 3s);
    std::lock_guard lock(events.mutex);
    EXPECT_FALSE(events.failure.has_value()) << "a stopped engine told of a failure: " << *events.failure;
}

}  // namespace
