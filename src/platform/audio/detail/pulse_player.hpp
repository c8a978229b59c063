#pragma once
// A player of the PulseAudio engine: one playback stream on the default sink while the player is
// connected and the engine runs, fed with the scheduled buffers as the server asks for data.
// A buffer completes once the server's read position has passed its end. The position is asked
// for only while something waits on it (pulse_player_position.cpp).

#include <pulse/pulseaudio.h>

#include <deque>
#include <memory>
#include <vector>

#include "platform/audio/detail/pulse_engine_core.hpp"

namespace platform::detail {

class PulsePlayer final : public PlayerNode {
public:
    using Core = PulseAudioEngine::Core;
    // The server asks for audio in pieces of playbackRequest; the position is asked for no sooner
    // than pollInterval after the last time.
    static constexpr pa_usec_t playbackRequest = 20 * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t pollInterval = 10 * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t freshWithin = 4 * PA_USEC_PER_MSEC;
    static constexpr pa_usec_t answerWithin = 30 * PA_USEC_PER_MSEC;

    explicit PulsePlayer(std::shared_ptr<Core> core) : core_(std::move(core)) {}

    // What is still scheduled completes as dropped.
    ~PulsePlayer() override;

    AudioFormat outputFormat() const override;
    void scheduleBuffer(std::shared_ptr<const PcmBuffer> buffer, Completion onPlayedBack) override;
    void play() override;
    void pause() override;
    void stop() override;
    bool isPlaying() const override;
    uint64_t underrunCount() const override;
    std::optional<AudioTime> lastRenderTime() const override;
    std::optional<AudioTime> playerTime(const AudioTime& renderTime) const override;

    // ----- with the connection's lock held -----

    bool openStream();
    void closeStreamLocked();
    pa_stream_state_t streamState() const { return stream ? pa_stream_get_state(stream) : PA_STREAM_UNCONNECTED; }
    bool streamReady() const { return streamState() == PA_STREAM_READY; }
    // Takes every scheduled buffer off the player; returns their completions.
    Completions dropAll();
    // The engine stopped or the player was disconnected.
    void detachFromOutput(Completions& inline_);

    struct Entry {
        std::shared_ptr<const PcmBuffer> buffer;
        Completion done;
        uint32_t written;  // frames handed to the server
        int64_t end;       // stream index just past the buffer once fully written; -1 before
    };

    bool attached = false;
    bool connected = false;
    bool playing = false;
    AudioFormat format = AudioFormat::float32(44100, 2);
    std::deque<Entry> queue;
    int64_t rendered = 0;  // frames the server has read from this player, over all its streams
    mutable int64_t reported = 0;  // the most lastRenderTime() told: it never goes back
    int64_t stopBase = 0;  // `rendered` at the last stop
    bool ranDry = false;   // the server reported an underflow and nothing was written since
    uint64_t underruns = 0;

private:
    void onState();
    // The server's read position (pulse_player_position.cpp, but onTiming).
    bool wantsPosition() const;
    void schedulePoll();
    void askForPosition();
    // Not on the loop thread, while playing: a position older than freshWithin is asked for
    // again, and its answer waited for up to answerWithin (a server slow to answer leaves the
    // last one).
    void refreshPosition();
    void onTimer();
    void requestTiming();
    void onTiming(bool success);
    // Writes as much of the scheduled audio as the server asks for.
    void writeSome();
    // `frames` frames from frame `first` of the buffer, interleaved as the stream wants them.
    const void* interleaved(const PcmBuffer& buffer, uint32_t first, uint32_t frames);

    std::shared_ptr<Core> core_;

public:
    pa_stream* stream = nullptr;
    bool streamFailed = false;
    pa_time_event* timer = nullptr;
    pa_operation* timing = nullptr;
    bool synced = false;       // writeIndex is known
    bool freshStream = false;  // the stream's first read index has not been seen yet
    bool restartTimeOnSync = false;
    bool settling = false;      // paused: the position is watched until it stands still
    bool pollArmed = false;     // the timer is set
    pa_usec_t pollDue = 0;      // when the position is next wanted
    pa_usec_t lastPoll = 0;     // when the last position came
    int64_t writeIndex = 0;
    int64_t lastRead = 0;
    bool reading = false;      // the read position moved since the stream last started playing
    uint64_t positions = 0;    // timing updates received
    int64_t previousRead = 0;  // lastRead at the timing update before
    int stillPolls = 0;        // timing updates in a row that found the read position still
    std::vector<std::byte> scratch;
};

// The player behind `node` when it is one of this engine's; std::invalid_argument otherwise.
PulsePlayer* ownPlayer(const PulseAudioEngine::Core& core, const PlayerNode& node);

}  // namespace platform::detail
