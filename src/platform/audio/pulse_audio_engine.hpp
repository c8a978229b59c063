#pragma once
// The audio engine on a PulseAudio server (PipeWire desktops serve the same client API).
//
// Capture: a record stream on the default source, in that source's rate and channel count
// (int16 when the source delivers 16-bit samples, float32 otherwise; interleaved), cut into
// buffers of exactly the tap's size and handed to the tap on a capture thread of the engine's own.
// Playback: one playback stream on the default sink per connected player, fed with the scheduled
// buffers as the server asks for data; pause corks it, stop flushes it. The server's underflows,
// when audio follows them, count as the player's underruns. A buffer's completion runs
// once the server's read position has passed the buffer's end (checked every 10 ms), on a
// callback thread of the engine's own; the player's render and player times come from the same
// read position.
//
// The connection to the server is made by the first call that needs it. When the server goes away
// under a running engine, capture pauses and every scheduled buffer completes; the engine connects
// again as soon as the server is back (trying again after 0.1 s, then waiting twice as long each
// time, up to 1 s) and opens its player streams and its microphone stream again, with the same
// formats and the same tap; one line on standard error says so. The microphone is then the
// default source only when that is not a monitor of a sink: until a microphone is the default
// (looked for every 50 ms), nothing is captured. When the server with a microphone is not back
// within 10 s of the first loss, the engine says so on standard error, stops, and tells its
// failure handler. A loss within 10 s of the engine working again belongs to the same trouble and
// its bound: a server that keeps going away ends the same way, after one line saying it was back.

#include <memory>

#include "platform/audio/audio_engine.hpp"

namespace platform {

class PulseAudioEngine final : public AudioEngine {
public:
    PulseAudioEngine();
    // Stops, and ends and joins the engine's threads.
    ~PulseAudioEngine() override;
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

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
};

}  // namespace platform
