#include "realtime/conversation/playback_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using realtime::PlaybackQueue;
using Ids = std::vector<std::string>;

TEST(PlaybackQueue, CompletionsRemoveOnlyTheirOwnBuffers) {
    PlaybackQueue queue;
    int changes = 0;
    queue.setObserver([&] { ++changes; });
    auto a1 = queue.append("A", 100);
    auto a2 = queue.append("A", 100);
    EXPECT_FALSE(queue.complete(a1));
    EXPECT_EQ(queue.ids(), (Ids{"A"}));
    EXPECT_TRUE(queue.complete(a2));
    EXPECT_FALSE(queue.complete(a2));  // reported twice, or on an empty queue: nothing happens
    EXPECT_EQ(changes, 4);

    // Buffers dropped by a clear report back after the next answer was queued.
    auto old1 = queue.append("B", 100), old2 = queue.append("B", 100);
    queue.clear();
    auto fresh = queue.append("C", 100);
    EXPECT_FALSE(queue.complete(old1));
    EXPECT_FALSE(queue.complete(old2));
    EXPECT_EQ(queue.ids(), (Ids{"C"}));
    // A completion that never came is covered by the next one.
    auto last = queue.append("C", 100);
    EXPECT_TRUE(queue.complete(last));
    EXPECT_FALSE(queue.complete(fresh));
}

TEST(PlaybackQueue, HeadCountsWhatThePlayerPlayedOfThePlayingItemOnly) {
    PlaybackQueue queue;
    auto a1 = queue.append("A", 1000);  // plays from clock 0
    auto a2 = queue.append("A", 1000);  // from 1000
    auto b1 = queue.append("B", 1000);  // from 2000
    EXPECT_EQ(queue.head(400)->playedFrames, 400);
    queue.complete(a1);
    EXPECT_EQ(queue.head(1500)->playedFrames, 1500);
    queue.complete(a2);
    EXPECT_EQ(queue.head(2250)->itemId, "B");
    EXPECT_EQ(queue.head(2250)->playedFrames, 250);
    EXPECT_EQ(queue.head(1900)->playedFrames, 0);     // a clock behind the buffer counts nothing
    EXPECT_EQ(queue.head(99999)->playedFrames, 1000);  // nor more than the buffer holds

    // The player ran dry and paused at 3000 before B's next delta came: B keeps what it played.
    EXPECT_TRUE(queue.complete(b1));
    queue.append("B", 1000);
    EXPECT_EQ(queue.head(3300)->playedFrames, 1300);

    // A clear goes with a stop of the player, whose clock restarts at 0.
    queue.clear();
    EXPECT_EQ(queue.head(100), std::nullopt);
    queue.append("C", 500);
    EXPECT_EQ(queue.head(100)->playedFrames, 100);
}

TEST(PlaybackQueue, ConcurrentCompletionsAndAppendsLoseNothing) {
    PlaybackQueue queue;
    std::atomic<int> changes = 0;
    queue.setObserver([&] { ++changes; });
    std::vector<std::uint64_t> tags;
    for (int i = 0; i < 2000; ++i) tags.push_back(queue.append("A", 1));
    std::thread player([&] {
        for (auto tag : tags) queue.complete(tag);
    });
    for (int i = 0; i < 2000; ++i) queue.append("B", 1);
    player.join();
    EXPECT_EQ(queue.ids(), Ids(2000, "B"));
    EXPECT_EQ(changes.load(), 6000);
}

}  // namespace
