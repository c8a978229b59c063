// The engine under a sound server that changes under it: it connects again once the server is
// back and captures and plays as before, never from a monitor, and gives up, saying why, when the
// server stays away, comes back without a microphone, or keeps going away; a sink that reads
// nothing (suspended, or waking late) leaves the player's position where it is. Each case owns
// its server (PulseAudio, or PipeWire when KESTRO_SOUND_SERVER says so), so that taking it away
// touches no other test.

#include <gtest/gtest.h>

#include <algorithm>
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
    std::shared_ptr<PcmBuffer> lastBuffer;
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
        engine.installTap(4096, [this](std::shared_ptr<PcmBuffer> buffer) {
            std::lock_guard lock(events.mutex);
            events.buffers.push_back(Clock::now());
            events.lastBuffer = std::move(buffer);
            events.changed.notify_all();
        });
        auto node = engine.makePlayerNode();
        engine.attach(node);
        engine.connect(node, AudioFormat::float32(48000, 1));
        engine.start();
        return node;
    }

    // Schedules `frames` frames of tone (half a second by default) and plays it.
    void playTone(platform::PlayerNode& node, uint32_t frames = 24000, double frequency = 440) {
        node.scheduleBuffer(kestro::test::makeSine(node.outputFormat(), frames, frequency), [this] {
            std::lock_guard lock(events.mutex);
            events.completions.push_back(Clock::now());
            events.changed.notify_all();
        });
        node.play();
    }
    std::size_t completions() {
        std::lock_guard lock(events.mutex);
        return events.completions.size();
    }
    // Brings the server back with its sink alone, the sink's monitor the default source.
    void bringBackWithoutMicrophone() {
        ASSERT_EQ(server->bringBack(false), "");
        bool ok = false;
        const auto output = server->pactl("set-default-source kestro_null.monitor", &ok);
        ASSERT_TRUE(ok) << output;
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

// Lines the engine printed on standard error that contain `text`.
std::size_t linesWith(const std::string& printed, const std::string& text) {
    std::size_t count = 0;
    for (auto at = printed.find(text); at != std::string::npos; at = printed.find(text, at + 1)) ++count;
    return count;
}

TEST_F(SoundServerRestart, BackBeforeItsMicrophoneTheServerIsNotHeardThroughTheMonitorAndTheMicrophoneIsTakenOnceItComes) {
    PulseAudioEngine engine;
    auto node = startEngine(engine);
    ASSERT_TRUE(events.waitUntil([&] { return events.buffers.size() >= 3; }, 10s)) << server->log();
    ::testing::internal::CaptureStderr();
    server->takeAway();
    std::this_thread::sleep_for(300ms);
    bringBackWithoutMicrophone();
    if (HasFatalFailure()) {
        ::testing::internal::GetCapturedStderr();
        return;
    }
    const auto back = Clock::now();
    // The speaker works at once: three seconds of a 660 Hz tone, which the monitor carries.
    playTone(*node, 144000, 660);
    std::this_thread::sleep_for(1500ms);
    {
        std::lock_guard lock(events.mutex);
        EXPECT_EQ(events.buffersAfter(back), 0u) << "captured from the output's monitor";
    }
    ASSERT_EQ(server->addMicrophone(), "");
    const auto microphone = Clock::now();
    // The capture moves to the microphone as soon as it is the default, while the tone still
    // plays into the monitor.
    EXPECT_TRUE(events.waitUntil([&] { return events.buffersAfter(microphone) >= 2; }, 3s))
        << "no microphone audio once the microphone came\n" << server->log();
    std::shared_ptr<PcmBuffer> heard;
    {
        std::lock_guard lock(events.mutex);
        heard = events.lastBuffer;
    }
    ASSERT_TRUE(heard);
    const auto samples = kestro::test::firstChannel(*heard);
    EXPECT_NEAR(kestro::test::dominantFrequency(samples, heard->format().sampleRate), 440, 5)
        << "what was captured is not the microphone's tone";
    EXPECT_TRUE(events.waitUntil([&] { return events.completions.size() == 1; }, 5s)) << "the tone did not play";
    EXPECT_TRUE(engine.isRunning());
    const auto printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(linesWith(printed, "made it again"), 1u) << printed;
    std::lock_guard lock(events.mutex);
    EXPECT_FALSE(events.failure.has_value()) << *events.failure;
}

TEST_F(SoundServerRestart, BackWithoutAMicrophoneForGoodTheEngineStopsAsForALostServer) {
    PulseAudioEngine engine;
    startEngine(engine);
    ASSERT_TRUE(events.waitUntil([&] { return events.buffers.size() >= 1; }, 10s)) << server->log();
    server->takeAway();
    const auto gone = Clock::now();
    bringBackWithoutMicrophone();
    ASSERT_FALSE(HasFatalFailure());
    const auto back = Clock::now();
    ASSERT_TRUE(events.waitUntil([&] { return events.failure.has_value(); }, 13s));
    std::lock_guard lock(events.mutex);
    EXPECT_GE(events.failedAt - gone, 9s) << "gave up before the microphone had its 10 s";
    EXPECT_NE(events.failure->find("without a microphone"), std::string::npos) << *events.failure;
    EXPECT_EQ(events.buffersAfter(back), 0u) << "captured from the output's monitor";
    EXPECT_FALSE(engine.isRunning());
}

TEST_F(SoundServerRestart, AServerThatKeepsGoingAwayEndsTheRunWithinTheBoundOfTheFirstLossSayingSoOnce) {
    PulseAudioEngine engine;
    auto node = startEngine(engine);
    ASSERT_TRUE(events.waitUntil([&] { return events.buffers.size() >= 1; }, 10s)) << server->log();
    ::testing::internal::CaptureStderr();
    const auto firstLoss = Clock::now();
    int losses = 0;
    // Up half a second, away a tenth, until the engine gives up (or far past the bound).
    while (!events.waitUntil([&] { return events.failure.has_value(); }, 0ms) && Clock::now() - firstLoss < 25s) {
        server->takeAway();
        ++losses;
        std::this_thread::sleep_for(100ms);
        if (auto why = server->bringBack(); !why.empty()) {
            ADD_FAILURE() << why;
            break;
        }
        playTone(*node, 4800);
        std::this_thread::sleep_for(500ms);
    }
    const auto printed = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(events.waitUntil([&] { return events.failure.has_value(); }, 1s))
        << "still running after " << losses << " losses\n" << printed;
    std::lock_guard lock(events.mutex);
    // The bound counts from the first loss; one round of the server's going and coming (slow on
    // a loaded machine) may pass before the engine sees the next loss.
    EXPECT_GE(events.failedAt - firstLoss, 9s);
    EXPECT_LT(events.failedAt - firstLoss, 20s);
    EXPECT_GT(losses, 2);
    EXPECT_NE(events.failure->find("went away"), std::string::npos) << *events.failure;
    EXPECT_LE(linesWith(printed, "made it again"), 1u) << printed;
    EXPECT_EQ(linesWith(printed, "are gone"), 1u) << printed;
    EXPECT_FALSE(engine.isRunning());
}

TEST_F(SoundServerRestart, ASinkThatReadsNothingYetLeavesThePositionAtZeroAndCompletesNothingUntilItReads) {
    PulseAudioEngine engine;
    auto node = startEngine(engine);
    ASSERT_EQ(server->suspendSink(true), "");
    // 40 ms: shorter than the tail a server reading in whole periods leaves unread.
    playTone(*node, 1920);
    std::vector<int64_t> positions;
    auto sample = [&] {
        if (auto time = node->lastRenderTime()) positions.push_back(time->sampleTime);
    };
    // Long past the five still polls (50 ms) after which the tail of a stream being read completes.
    const auto suspendedUntil = Clock::now() + 800ms;
    while (Clock::now() < suspendedUntil) {
        sample();
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_FALSE(positions.empty());
    const auto sinks = server->pactl("list short sinks");
    if (sinks.find("kestro_null\t") != std::string::npos && sinks.find("SUSPENDED") == std::string::npos) {
        GTEST_SKIP() << support::soundServerName(kind) << " does not keep a sink with a playing stream suspended:\n"
                     << sinks;
    }
    EXPECT_EQ(*std::max_element(positions.begin(), positions.end()), 0) << "played while the sink read nothing";
    EXPECT_EQ(completions(), 0u) << "completed before the sink read it";

    // Waking late, the sink reads it: the position moves on, never back, never past what was
    // written, and the buffer completes.
    ASSERT_EQ(server->suspendSink(false), "");
    const auto deadline = Clock::now() + 5s;
    while (completions() == 0 && Clock::now() < deadline) {
        sample();
        std::this_thread::sleep_for(2ms);
    }
    sample();
    ASSERT_EQ(completions(), 1u) << "the sink read nothing after it woke\n" << server->log();
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end())) << "the position went back";
    EXPECT_GT(positions.back(), 0);
    EXPECT_LE(positions.back(), 1920);

    // Paused with nothing left, as the conversation pauses between answers: whatever the server
    // left unread of the first tone does not play before the next one.
    node->pause();
    std::this_thread::sleep_for(100ms);
    const auto paused = node->lastRenderTime()->sampleTime;
    playTone(*node, 4800);
    ASSERT_TRUE(events.waitUntil([&] { return events.completions.size() == 2; }, 5s));
    EXPECT_LE(node->lastRenderTime()->sampleTime - paused, 4800);
}

}  // namespace
