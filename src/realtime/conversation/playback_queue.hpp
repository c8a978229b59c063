#pragma once
// The item ids of the response-audio buffers scheduled on the player, oldest first, so the first id
// names the item whose audio is playing now. The main executor appends and clears the queue; the
// player's completion thread shortens it. Each operation holds one lock for its own length only,
// and the observer is told of every change after the lock has been released.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace realtime {

class PlaybackQueue {
public:
    // Runs on the thread that made the change.
    using Observer = std::function<void()>;

    struct Head {
        std::string itemId;
        // Frames of this item the player has played since the item's first buffer started.
        std::int64_t playedFrames = 0;
    };

    PlaybackQueue() = default;
    PlaybackQueue(const PlaybackQueue&) = delete;
    PlaybackQueue& operator=(const PlaybackQueue&) = delete;

    // Queues one buffer of `frames` player frames for `itemId` and returns the tag its completion
    // reports back. The player's clock counts only the frames it has played since it was last
    // stopped (it stands still while paused or starved), so a buffer starts at the clock value that
    // is the sum of the frames queued before it since the last clear(), which goes with a stop.
    std::uint64_t append(std::string itemId, std::int64_t frames);

    // The buffer tagged `tag` has been played back: removes it, and anything queued before it, if
    // it is still queued. Completions of buffers dropped by clear() find nothing and change nothing.
    // Returns true when this call left the queue empty.
    bool complete(std::uint64_t tag);

    // Drops every id and restarts the clock count; the tags handed out so far are never matched
    // again.
    void clear();

    bool empty() const;
    // The frames of the queued buffers.
    std::int64_t frames() const;
    // Frames queued and not yet reported as played.
    std::int64_t pendingFrames() const;
    std::optional<std::string> front() const;
    std::vector<std::string> ids() const;

    // The playing item and how much of it has been played at the player's `sampleTimeNow`: the
    // frames of its buffers already played back plus the part of the current buffer that the clock
    // has passed (never more than that buffer holds). None when nothing is queued.
    std::optional<Head> head(std::int64_t sampleTimeNow) const;

    // Replaces the observer.
    void setObserver(Observer observer);

private:
    struct Buffer {
        std::string itemId;
        std::uint64_t tag = 0;
        std::int64_t frames = 0;
        std::int64_t start = 0;
    };

    void notify();

    mutable std::mutex mutex_;
    std::deque<Buffer> buffers_;
    std::uint64_t nextTag_ = 1;
    // Frames queued since the last clear(): where the next buffer starts on the player's clock.
    std::int64_t queuedFrames_ = 0;
    // The item of the buffers played back last, and how many frames of it they held.
    std::string finishedItem_;
    std::int64_t finishedFrames_ = 0;
    std::shared_ptr<const Observer> observer_;
};

}  // namespace realtime
