#pragma once
// The audio engine a conversation runs on: the microphone (an input with a tap that hands over
// captured buffers), player nodes connected to the main mixer that play scheduled buffers, and
// converters between formats. PulseAudioEngine is the real one, FakeAudioEngine the one tests
// drive by hand.
//
// Threads: every method may be called from any thread. The tap block runs on the engine's capture
// thread, completions on its player callback thread; neither runs while an engine lock is held,
// so both may call back into the engine and its players (but should not stop or destroy the
// engine from there). Stopping or destroying the engine ends and joins every thread it started.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/audio_converter.hpp"
#include "platform/audio/audio_errors.hpp"
#include "platform/audio/audio_format.hpp"
#include "platform/audio/pcm_buffer.hpp"

namespace platform {

// Plays scheduled buffers one after the other.
//
// Clock: the render time (lastRenderTime) counts the frames of scheduled audio the output has
// taken from this player since it was made; it does not advance while the player is paused or
// has nothing to play. The player time of a render time counts from the last stop(), so it keeps
// growing across pauses. Both are in the player's output format's sample rate.
class PlayerNode {
public:
    // Fires once per scheduled buffer: when the output has played it back, or when stop(), a
    // disconnection or an engine stop dropped it. Runs on the player callback thread, in
    // scheduling order.
    using Completion = std::function<void()>;

    virtual ~PlayerNode() = default;

    // The format of the connection to the main mixer; before any connection, float32 44100 Hz
    // stereo.
    virtual AudioFormat outputFormat() const = 0;

    // Queues a buffer after everything already scheduled. The buffer must be in the output
    // format (std::invalid_argument otherwise) and is not changed afterwards by the caller.
    virtual void scheduleBuffer(std::shared_ptr<const PcmBuffer> buffer, Completion onPlayedBack) = 0;

    // Starts or resumes playing; does nothing while already playing.
    virtual void play() = 0;
    // Holds playback where it is; scheduled buffers stay.
    virtual void pause() = 0;
    // Drops every scheduled buffer (their completions still fire) and resets the player time.
    virtual void stop() = 0;
    virtual bool isPlaying() const = 0;

    // Underruns so far: times the output ran out of scheduled audio while the player was playing
    // and more audio was scheduled after it (a gap in what plays), with no stop() in between.
    // Running dry at the end of what was scheduled counts only once more audio follows.
    virtual uint64_t underrunCount() const = 0;

    // None while the player is not connected to a running engine.
    virtual std::optional<AudioTime> lastRenderTime() const = 0;
    // The player time of a render time; none while the player is not playing.
    virtual std::optional<AudioTime> playerTime(const AudioTime& renderTime) const = 0;
};

class AudioEngine {
public:
    // Receives one captured buffer in the input format; the buffer belongs to the receiver.
    using TapBlock = std::function<void(std::shared_ptr<PcmBuffer> buffer)>;
    // Told why, once the running engine has lost its sound server and given up getting it back;
    // the engine has stopped by then. Runs on an engine thread with no engine lock held; it must
    // not stop or destroy the engine there.
    using FailureHandler = std::function<void(const std::string& reason)>;

    virtual ~AudioEngine() = default;

    // The microphone's format. Throws NoInputDeviceError when there is none.
    virtual AudioFormat inputFormat() = 0;
    // Installs (or replaces) the tap on the input: while the engine runs, captured audio arrives
    // in buffers of exactly `bufferSize` frames (the fake hands over what the test pushes).
    virtual void installTap(uint32_t bufferSize, TapBlock block) = 0;
    // Removes the tap. Once it returns, the tap block is not running and is not called again
    // (unless called from the tap block itself).
    virtual void removeTap() = 0;

    // A player for this engine; it plays only once attached, connected and the engine runs.
    virtual std::shared_ptr<PlayerNode> makePlayerNode() = 0;
    virtual void attach(const std::shared_ptr<PlayerNode>& player) = 0;
    virtual bool isAttached(const PlayerNode& player) const = 0;
    // Connects an attached player to the main mixer in the given format (its output format).
    virtual void connect(const std::shared_ptr<PlayerNode>& player, const AudioFormat& format) = 0;
    // A player has no inputs; kept so that tearing a graph down reads as it would on any engine.
    virtual void disconnectNodeInput(const PlayerNode& player) = 0;
    // Disconnects the player from the main mixer; what it had scheduled is dropped.
    virtual void disconnectNodeOutput(const PlayerNode& player) = 0;

    virtual void prepare() = 0;
    // Throws AudioEngineStartError.
    virtual void start() = 0;
    // Stops capture and playback; players keep their connections for the next start.
    virtual void stop() = 0;
    // Stops and forgets the cached input format.
    virtual void reset() = 0;
    virtual bool isRunning() const = 0;
    // Replaces the handler told about a lost sound server (an empty one tells nobody).
    virtual void setFailureHandler(FailureHandler handler) = 0;

    // Throws ConverterCreationError.
    virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;
};

}  // namespace platform
