#pragma once
// An audio engine for tests, driven by hand: the test pushes microphone buffers (handed to the tap
// on a capture thread of the engine's own, as a real engine does) and renders output in steps of
// its choosing, which advances the players' clocks and runs completions. Switches make the start
// or converter creation fail.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "platform/audio/audio_engine.hpp"

namespace platform {

namespace detail {
class SerialWorker;
}

class FakeAudioEngine final : public AudioEngine {
public:
    // The microphone's format; none: no input device.
    explicit FakeAudioEngine(std::optional<AudioFormat> inputFormat = AudioFormat::float32(48000, 1));
    ~FakeAudioEngine() override;
    FakeAudioEngine(const FakeAudioEngine&) = delete;
    FakeAudioEngine& operator=(const FakeAudioEngine&) = delete;

    // --- test controls ---
    void setInputFormat(std::optional<AudioFormat> format);
    void setConverterCreationFails(bool fails);
    void setStartFails(bool fails);

    // Queues a microphone buffer and returns at once; the capture thread hands it to the tap when
    // one is installed and the engine runs, and drops it otherwise.
    void pushInput(std::shared_ptr<PcmBuffer> buffer);
    // Waits until every pushed buffer has been handed over or dropped.
    void waitForInput();
    bool hasTap() const;
    // Waits until a tap is installed; false after the timeout.
    bool waitForTap(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The sound server went away for good: the engine stops, then its failure handler is told
    // `reason` on the calling thread.
    void loseSoundServer(const std::string& reason);

    // Renders `frames` frames of output on the calling thread. First the completions of buffers
    // dropped since the last render run (see runDroppedCompletions). Then, while the engine runs,
    // every connected, playing player plays up to `frames` frames of what it has scheduled; the
    // completion of each buffer played to its end runs here, in order, without locks held. A
    // playing player that has fewer than `frames` frames ran dry: the next buffer scheduled on it
    // counts as an underrun.
    // Returns the most frames any player played.
    uint64_t render(uint32_t frames);
    // Runs now, on the calling thread, the completions of buffers that a stop or disconnection
    // dropped. Until then they are held, as late completions of a real player would be.
    void runDroppedCompletions();

    // What the code under test did to the engine.
    struct Counts {
        int tapInstalls = 0;
        int tapRemovals = 0;
        int prepares = 0;
        int starts = 0;  // successful ones
        int stops = 0;
        int resets = 0;
        int attaches = 0;
        int connects = 0;
        int outputDisconnects = 0;
        int converters = 0;  // made successfully
    };
    Counts counts() const;
    bool isConnected(const PlayerNode& player) const;
    // Buffers scheduled on the player and not yet played to their end or dropped, and their
    // frames not yet played.
    std::size_t scheduledBufferCount(const PlayerNode& player) const;
    uint64_t scheduledFrames(const PlayerNode& player) const;

    // --- AudioEngine ---
    AudioFormat inputFormat() override;
    void installTap(uint32_t bufferSize, TapBlock block) override;
    void removeTap() override;
    std::shared_ptr<PlayerNode> makePlayerNode() override;
    void attach(const std::shared_ptr<PlayerNode>& player) override;
    bool isAttached(const PlayerNode& player) const override;
    void connect(const std::shared_ptr<PlayerNode>& player, const AudioFormat& format) override;
    void disconnectNodeInput(const PlayerNode& player) override;
    void disconnectNodeOutput(const PlayerNode& player) override;
    void prepare() override;
    void start() override;
    void stop() override;
    void reset() override;
    bool isRunning() const override;
    void setFailureHandler(FailureHandler handler) override;
    std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override;

    struct Core;

private:
    std::shared_ptr<Core> core_;
    std::unique_ptr<detail::SerialWorker> capture_;  // destroyed first: joins the capture thread
};

}  // namespace platform
