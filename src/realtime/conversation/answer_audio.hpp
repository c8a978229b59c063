#pragma once
// What the conversation keeps about the audio of the model's answers beside the player's queue:
// how much audio each item has received (counted from its deltas, whatever the item stores once
// the service settles its content), which items' audio is complete, which items were interrupted
// (their deltas still on the way are not played), and whether the player holds back until enough
// is queued. Used on the main executor only.

#include <cstdint>
#include <string>
#include <unordered_map>

namespace realtime {

class AnswerAudio {
public:
    // A delta of `frames` wire frames arrived for the item's first content part.
    void received(const std::string& itemId, std::int64_t frames);
    // Wire frames received for the item's first content part.
    std::int64_t receivedFrames(const std::string& itemId) const;

    // No more audio comes for the item.
    void finished(const std::string& itemId);
    bool isFinished(const std::string& itemId) const;

    // The user cut the item off: nothing more of it is played.
    void interrupted(const std::string& itemId);
    bool isInterrupted(const std::string& itemId) const;

    // True while the player holds what is queued back: before an answer starts and after the
    // player ran dry, until enough is queued or the audio is complete.
    bool gathering = true;
    // Counts the holds, so that the end of one that was ended otherwise does nothing.
    std::uint64_t holds = 0;
    // The item of the last buffer scheduled on the player.
    std::string lastScheduled;

private:
    struct Record {
        std::int64_t frames = 0;
        bool finished = false;
        bool interrupted = false;
    };
    const Record* find(const std::string& itemId) const;

    std::unordered_map<std::string, Record> items_;
};

}  // namespace realtime
