#include "platform/audio/fake_audio_engine.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "support/audio_signals.hpp"

namespace {

using namespace std::chrono_literals;
using platform::AudioFormat;
using platform::FakeAudioEngine;
using platform::PcmBuffer;

std::shared_ptr<PcmBuffer> frames(const AudioFormat& format, uint32_t count) {
    auto buffer = PcmBuffer::make(format, count);
    buffer->setFrameLength(count);
    return buffer;
}

TEST(FakeAudioEngine, TapReceivesPushedBuffersInOrderOnAnotherThreadOnlyWhileRunning) {
    const auto mic = AudioFormat::float32(48000, 1);
    FakeAudioEngine engine(mic);
    EXPECT_EQ(engine.inputFormat(), mic);

    std::mutex mutex;
    std::vector<uint32_t> received;
    std::atomic<bool> onTestThread = false;
    const auto testThread = std::this_thread::get_id();
    engine.installTap(4096, [&](std::shared_ptr<PcmBuffer> buffer) {
        if (std::this_thread::get_id() == testThread) onTestThread = true;
        std::lock_guard lock(mutex);
        received.push_back(buffer->frameLength());
    });
    EXPECT_TRUE(engine.waitForTap(0ms));

    engine.pushInput(frames(mic, 1));  // not running yet: dropped
    engine.waitForInput();
    engine.start();
    for (uint32_t i = 2; i <= 50; ++i) engine.pushInput(frames(mic, i));
    engine.waitForInput();
    engine.removeTap();
    engine.pushInput(frames(mic, 99));
    engine.waitForInput();

    std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), 49u);
    for (uint32_t i = 0; i < received.size(); ++i) EXPECT_EQ(received[i], i + 2);
    EXPECT_FALSE(onTestThread);
    EXPECT_EQ(engine.counts().tapInstalls, 1);
    EXPECT_EQ(engine.counts().tapRemovals, 1);
}

TEST(FakeAudioEngine, RemovingTheTapWaitsForARunningBlockAndWorksFromInsideIt) {
    FakeAudioEngine engine;
    engine.start();
    std::atomic<bool> entered = false;
    std::atomic<bool> finished = false;
    engine.installTap(4096, [&](std::shared_ptr<PcmBuffer>) {
        entered = true;
        std::this_thread::sleep_for(50ms);
        finished = true;
    });
    engine.pushInput(frames(AudioFormat::float32(48000, 1), 8));
    while (!entered) std::this_thread::yield();
    engine.removeTap();
    EXPECT_TRUE(finished);

    std::atomic<int> calls = 0;
    engine.installTap(4096, [&](std::shared_ptr<PcmBuffer>) {
        ++calls;
        engine.removeTap();
    });
    for (int i = 0; i < 3; ++i) engine.pushInput(frames(AudioFormat::float32(48000, 1), 8));
    engine.waitForInput();
    EXPECT_EQ(calls, 1);
}

struct PlayerFixture : ::testing::Test {
    const AudioFormat out = AudioFormat::float32(48000, 1);
    FakeAudioEngine engine{AudioFormat::float32(48000, 1)};
    std::shared_ptr<platform::PlayerNode> player = engine.makePlayerNode();
    std::vector<int> done;

    void SetUp() override {
        engine.attach(player);
        engine.connect(player, out);
        engine.prepare();
        engine.start();
    }
    void schedule(int id, uint32_t count) {
        player->scheduleBuffer(frames(out, count), [this, id] { done.push_back(id); });
    }
    int64_t playerSampleTime() {
        auto render = player->lastRenderTime();
        if (!render) return -1;
        auto time = player->playerTime(*render);
        return time ? time->sampleTime : -1;
    }
};

TEST_F(PlayerFixture, RenderingPlaysBuffersInOrderAndCompletesEachOnceItsEndHasPassed) {
    schedule(1, 100);
    schedule(2, 100);
    schedule(3, 50);
    EXPECT_EQ(engine.render(500), 0u);  // not playing yet
    player->play();
    EXPECT_EQ(engine.render(99), 99u);
    EXPECT_TRUE(done.empty());
    engine.render(1);
    EXPECT_EQ(done, (std::vector<int>{1}));
    EXPECT_EQ(engine.scheduledBufferCount(*player), 2u);
    EXPECT_EQ(engine.scheduledFrames(*player), 150u);
    EXPECT_EQ(engine.render(1000), 150u);
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(playerSampleTime(), 250);
    EXPECT_EQ(player->lastRenderTime()->sampleRate, 48000);
}

TEST_F(PlayerFixture, PlayerTimeFreezesWhenPausedOrStarvedAndRestartsFromZeroAfterStop) {
    EXPECT_EQ(playerSampleTime(), -1);  // not playing
    schedule(1, 100);
    player->play();
    engine.render(60);
    EXPECT_EQ(playerSampleTime(), 60);
    player->pause();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(engine.render(60), 0u);
    EXPECT_EQ(player->playerTime(*player->lastRenderTime()), std::nullopt);
    player->play();
    engine.render(1000);  // starved after 40 more frames
    EXPECT_EQ(playerSampleTime(), 100);
    schedule(2, 30);
    engine.render(10);
    EXPECT_EQ(playerSampleTime(), 110);  // a normal end only pauses: time keeps growing

    player->stop();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(done, (std::vector<int>{1}));  // the dropped buffer's completion comes later
    schedule(3, 20);
    player->play();
    engine.render(5);
    EXPECT_EQ(done, (std::vector<int>{1, 2}));
    EXPECT_EQ(playerSampleTime(), 5);
    engine.stop();
    EXPECT_EQ(player->lastRenderTime(), std::nullopt);
    engine.runDroppedCompletions();
    EXPECT_EQ(done, (std::vector<int>{1, 2, 3}));
}

TEST_F(PlayerFixture, AudioScheduledAfterThePlayingPlayerRanDryIsAnUnderrunUnlessStoppedBetween) {
    schedule(1, 100);
    schedule(2, 100);
    player->play();
    engine.render(200);
    schedule(3, 100);  // in time: the output had not asked for more
    engine.render(100);
    EXPECT_EQ(player->underrunCount(), 0u);

    engine.render(10);  // the output wants audio the player does not have
    EXPECT_EQ(player->underrunCount(), 0u);
    schedule(4, 100);  // a gap before it
    EXPECT_EQ(player->underrunCount(), 1u);
    player->pause();
    engine.render(200);  // a paused player is not starved
    schedule(5, 100);
    EXPECT_EQ(player->underrunCount(), 1u);

    player->play();
    engine.render(1000);
    player->stop();
    schedule(6, 100);
    EXPECT_EQ(player->underrunCount(), 1u);
}

TEST_F(PlayerFixture, CompletionsMayCallBackIntoThePlayerAndWrongFormatsAreRefused) {
    schedule(1, 10);
    player->scheduleBuffer(frames(out, 10), [this] {
        done.push_back(2);
        player->pause();
        schedule(3, 10);
    });
    player->play();
    engine.render(20);
    EXPECT_EQ(done, (std::vector<int>{1, 2}));
    EXPECT_FALSE(player->isPlaying());
    EXPECT_EQ(engine.scheduledBufferCount(*player), 1u);

    EXPECT_THROW(player->scheduleBuffer(frames(AudioFormat::int16(24000, 1), 10), {}), std::invalid_argument);
    EXPECT_THROW(player->scheduleBuffer(nullptr, {}), std::invalid_argument);

    engine.disconnectNodeInput(*player);
    engine.disconnectNodeOutput(*player);
    EXPECT_FALSE(engine.isConnected(*player));
    EXPECT_TRUE(engine.isAttached(*player));
    EXPECT_EQ(engine.scheduledBufferCount(*player), 0u);

    FakeAudioEngine other;
    EXPECT_THROW(engine.attach(other.makePlayerNode()), std::invalid_argument) << "a node of another engine";
}

}  // namespace
