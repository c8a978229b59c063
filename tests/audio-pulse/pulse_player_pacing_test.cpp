// How the PulseAudio player keeps up with the sound server: the position is current whenever it
// is read, short buffers never wait for a prebuffer that will not fill, and completions follow
// the playback. How seldom it wakes the engine's sound thread meanwhile is measured in
// bench/pulse_player_wakeups.cpp.

#include "platform/audio/pulse_audio_engine.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pulse_fixture.hpp"
#include "support/audio_signals.hpp"
#include "support/process_memory.hpp"

namespace {

using namespace std::chrono_literals;
using platform::AudioFormat;
using platform::PulseAudioEngine;
using Clock = std::chrono::steady_clock;

// Completion ids and their arrival times, handed over by the engine's callback thread.
struct Completions {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<int> ids;
    std::vector<Clock::time_point> times;

    platform::PlayerNode::Completion completion(int id) {
        return [this, id] {
            std::lock_guard lock(mutex);
            ids.push_back(id);
            times.push_back(Clock::now());
            arrived.notify_all();
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return ids.size();
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return ids.size() >= count; });
    }
};

std::shared_ptr<platform::PlayerNode> startedPlayer(PulseAudioEngine& engine, const AudioFormat& format) {
    auto node = engine.makePlayerNode();
    engine.attach(node);
    engine.connect(node, format);
    engine.start();
    return node;
}

// An idle null sink renders up to two seconds ahead of the clock and does not take that back
// when a stream comes: audio written before it has caught up plays that much late.
void waitForTheSinkToCatchUp() {
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
        const auto sinks = kestro::test::pactl("list sinks");
        const auto at = sinks.find("Latency: ");
        if (at != std::string::npos && std::stoll(sinks.substr(at + 9)) < 100000) return;
        std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << "the null sink stays far ahead";
}

double renderedMs(const platform::PlayerNode& node) {
    auto time = node.lastRenderTime();
    return time ? double(time->sampleTime) * 1000 / time->sampleRate : -1;
}

// Everything written was read, and nothing more, but for the tail the server may leave unread.
void expectAllReadOf(const platform::PlayerNode& node, double writtenMs) {
    const double played = renderedMs(node);
    EXPECT_LE(played, writtenMs + 0.5);
    EXPECT_GE(played, writtenMs - double(kestro::test::unreadTailFrames(48000)) * 1000 / 48000 - 0.5);
}

TEST(PulsePlayerPacing, ThePositionReadWhilePlayingIsTheServersOwnNotThatOfTheLastCompletion) {
    KESTRO_REQUIRE_PULSE();
    const auto out = AudioFormat::float32(48000, 1);
    Completions completions;  // outlives the engine, which completes what it drops
    PulseAudioEngine engine;
    auto node = startedPlayer(engine, out);
    waitForTheSinkToCatchUp();
    // One long buffer: nothing completes for two seconds, yet the position moves on.
    node->scheduleBuffer(kestro::test::makeSine(out, 96000, 300), completions.completion(0));
    node->play();
    const auto deadline = Clock::now() + 5s;
    while (renderedMs(*node) <= 0 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    const double first = renderedMs(*node);
    ASSERT_GT(first, 0);
    const auto firstAt = Clock::now();
    std::this_thread::sleep_for(400ms);
    const double second = renderedMs(*node);
    const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - firstAt).count();
    EXPECT_EQ(completions.count(), 0u);
    // The server reads at the sink's pace, ahead by at most the stream's buffer. (A sanitizer
    // build may lag past real time.)
    EXPECT_GT(second, first);
    if (support::underSanitizer()) return;
    EXPECT_GT(second - first, elapsed - 150) << first << " ms, then " << second << " ms";
    EXPECT_LT(second - first, elapsed + 150) << first << " ms, then " << second << " ms";
}

TEST(PulsePlayerPacing, ShortBuffersPlayAndCompleteAtTheStartAfterRunningDryAndAtTheEnd) {
    KESTRO_REQUIRE_PULSE();
    const auto out = AudioFormat::float32(48000, 1);
    Completions completions;
    PulseAudioEngine engine;
    auto node = startedPlayer(engine, out);
    node->play();
    // 20 ms: well below what the server waits for before it starts a stream on its own.
    node->scheduleBuffer(kestro::test::makeSine(out, 960, 300), completions.completion(0));
    ASSERT_TRUE(completions.waitFor(1, 3s)) << "a short first buffer waits for a prebuffer";
    // The player ran dry; the next short buffer plays again, and so does one scheduled right
    // behind it.
    std::this_thread::sleep_for(200ms);
    node->scheduleBuffer(kestro::test::makeSine(out, 960, 300), completions.completion(1));
    node->scheduleBuffer(kestro::test::makeSine(out, 480, 300), completions.completion(2));
    ASSERT_TRUE(completions.waitFor(3, 3s)) << "a short buffer after running dry waits for a prebuffer";
    EXPECT_EQ(completions.ids, (std::vector<int>{0, 1, 2}));
    // Everything written was played, and nothing else.
    expectAllReadOf(*node, (960 + 960 + 480) * 1000.0 / 48000);
}

TEST(PulsePlayerPacing, BuffersScheduledAtTheirOwnPaceCompleteInOrderAsTheyPlayWithoutGaps) {
    KESTRO_REQUIRE_PULSE();
    const auto out = AudioFormat::float32(48000, 1);
    Completions completions;
    PulseAudioEngine engine;
    auto node = startedPlayer(engine, out);
    waitForTheSinkToCatchUp();
    // A lead of two buffers, then one more every 100 ms: what a spoken answer looks like.
    constexpr int buffers = 20;
    node->scheduleBuffer(kestro::test::makeSine(out, 4800, 300, 0.5, 0), completions.completion(0));
    node->scheduleBuffer(kestro::test::makeSine(out, 4800, 300, 0.5, 4800), completions.completion(1));
    node->play();
    const auto started = Clock::now();
    for (int i = 2; i < buffers; ++i) {
        std::this_thread::sleep_until(started + (i - 1) * 100ms);
        node->scheduleBuffer(kestro::test::makeSine(out, 4800, 300, 0.5, uint64_t(i) * 4800), completions.completion(i));
    }
    ASSERT_TRUE(completions.waitFor(buffers));
    std::vector<int> expected;
    for (int i = 0; i < buffers; ++i) expected.push_back(i);
    EXPECT_EQ(completions.ids, expected);
    expectAllReadOf(*node, buffers * 100.0);
    if (support::underSanitizer()) return;
    EXPECT_EQ(node->underrunCount(), 0u);
    // Each completes once its audio has been read: never before the server could have read it
    // (its end, less the stream's buffer), and not long after.
    for (int i = 0; i < buffers; ++i) {
        const double at = std::chrono::duration<double, std::milli>(completions.times[i] - started).count();
        EXPECT_GT(at, (i + 1) * 100.0 - 100) << "buffer " << i;
        EXPECT_LT(at, (i + 1) * 100.0 + 250) << "buffer " << i;
    }
}

}  // namespace
