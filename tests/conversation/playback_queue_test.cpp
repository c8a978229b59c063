#include "realtime/conversation/playback_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using realtime::PlaybackQueue;
using Ids = std::vector<std::string>;

TEST(PlaybackQueue, DrainsInSchedulingOrderAndReportsWhenEmpty) {
    PlaybackQueue queue;
    int changes = 0;
    queue.setObserver([&] { ++changes; });
    auto a1 = queue.append("A", 100);
    auto a2 = queue.append("A", 100);
    auto b1 = queue.append("B", 100);
    EXPECT_EQ(queue.ids(), (Ids{"A", "A", "B"}));
    EXPECT_EQ(changes, 3);

    EXPECT_FALSE(queue.complete(a1));
    EXPECT_EQ(queue.ids(), (Ids{"A", "B"}));
    EXPECT_FALSE(queue.complete(a2));
    EXPECT_EQ(queue.front(), "B");
    EXPECT_TRUE(queue.complete(b1));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.front(), std::nullopt);
    EXPECT_EQ(changes, 6);

    // A completion reported twice, or on an empty queue, changes nothing and tells nobody.
    EXPECT_FALSE(queue.complete(b1));
    EXPECT_EQ(changes, 6);
}

TEST(PlaybackQueue, CompletionsOfBuffersDroppedByAClearNeverRemoveLaterIds) {
    PlaybackQueue queue;
    auto old1 = queue.append("A", 100);
    auto old2 = queue.append("A", 100);
    queue.clear();
    auto fresh = queue.append("C", 100);

    // The player reports the dropped buffers after the clear and after the new buffer was queued.
    EXPECT_FALSE(queue.complete(old1));
    EXPECT_FALSE(queue.complete(old2));
    EXPECT_EQ(queue.ids(), (Ids{"C"}));
    EXPECT_TRUE(queue.complete(fresh));
}

TEST(PlaybackQueue, AMissedCompletionIsCoveredByTheNextOne) {
    PlaybackQueue queue;
    queue.append("A", 100);
    auto second = queue.append("B", 100);
    queue.append("B", 100);
    EXPECT_FALSE(queue.complete(second));
    EXPECT_EQ(queue.ids(), (Ids{"B"}));
}

TEST(PlaybackQueue, HeadCountsOnlyThePlayingItemsFrames) {
    PlaybackQueue queue;
    auto a1 = queue.append("A", 1000);  // plays from clock 0
    auto a2 = queue.append("A", 1000);  // from 1000
    queue.append("B", 1000);            // from 2000
    queue.append("B", 1000);

    EXPECT_EQ(queue.head(0)->playedFrames, 0);
    EXPECT_EQ(queue.head(400)->playedFrames, 400);

    queue.complete(a1);
    EXPECT_EQ(queue.head(1500)->itemId, "A");
    EXPECT_EQ(queue.head(1500)->playedFrames, 1500);
    queue.complete(a2);

    // What A played does not count for B, however far the clock has run.
    auto head = queue.head(2250);
    ASSERT_TRUE(head);
    EXPECT_EQ(head->itemId, "B");
    EXPECT_EQ(head->playedFrames, 250);
    // A clock behind the buffer counts nothing; one past it counts no more than the buffer holds.
    EXPECT_EQ(queue.head(1900)->playedFrames, 0);
    EXPECT_EQ(queue.head(99999)->playedFrames, 1000);
}

TEST(PlaybackQueue, AnItemResumedAfterTheQueueRanDryKeepsWhatItPlayed) {
    PlaybackQueue queue;
    auto a1 = queue.append("A", 1000);
    EXPECT_TRUE(queue.complete(a1));
    // The next delta of A arrives after the player ran dry and paused at clock 1000.
    queue.append("A", 1000);
    EXPECT_EQ(queue.head(1300)->playedFrames, 1300);
}

TEST(PlaybackQueue, AClearRestartsTheClockCount) {
    PlaybackQueue queue;
    queue.append("A", 1000);
    queue.append("A", 1000);
    queue.clear();
    EXPECT_EQ(queue.head(100), std::nullopt);
    // The player was stopped with the clear, so its clock restarts at 0 with the next buffer.
    queue.append("B", 500);
    EXPECT_EQ(queue.head(100)->itemId, "B");
    EXPECT_EQ(queue.head(100)->playedFrames, 100);
}

TEST(PlaybackQueue, ConcurrentCompletionsAndAppendsLoseNothing) {
    PlaybackQueue queue;
    std::atomic<int> changes = 0;
    queue.setObserver([&] { ++changes; });
    constexpr int count = 2000;
    std::vector<std::uint64_t> tags;
    for (int i = 0; i < count; ++i) tags.push_back(queue.append("A", 1));
    std::thread player([&] {
        for (auto tag : tags) queue.complete(tag);
    });
    for (int i = 0; i < count; ++i) queue.append("B", 1);
    player.join();
    EXPECT_EQ(queue.ids(), Ids(count, "B"));
    EXPECT_EQ(changes.load(), 3 * count);
}

}  // namespace
