#pragma once
// The microphone side of a conversation. The engine's capture thread hands every captured buffer
// to process(), which converts it to the wire format and queues its bytes; one sender at a time
// on the shared executor turns the queued chunks into "input_audio_buffer.append" events, so they
// leave in capture order. What is captured before the connection opens (or before the stream is
// given its connection at all) waits in the queue, which holds at most maxQueuedAudio of audio:
// beyond that the oldest chunks make room. Once the connection has taken its first chunk, later
// audio is sent only while it is fresh: a chunk captured more than staleAudioLimit ago (it waited behind
// a stalled connection, or the process was stopped and the sound server hands over what it kept)
// is dropped, not sent as if it were live, and the drop is said once. The stream holds the
// connection only weakly, and only to queue a chunk, never while its write is awaited: once the
// conversation is gone, chunks are dropped and its connection can close.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/audio/audio_engine.hpp"
#include "platform/runtime/unsafe_interior_mutable.hpp"
#include "realtime/model/base64.hpp"
#include "realtime/transport/realtime_api.hpp"

namespace realtime {

class MicrophoneStream : public std::enable_shared_from_this<MicrophoneStream> {
public:
    // Frames per captured buffer asked of the engine.
    static constexpr std::uint32_t tapBufferSize = 4096;
    // As long as the connection may take to open.
    static constexpr std::chrono::seconds maxQueuedAudio{60};
    // How old audio may be and still be sent once the connection is open.
    static constexpr std::chrono::milliseconds staleAudioLimit{2000};

    // Without a client the chunks wait until connect() gives one.
    MicrophoneStream(boost::asio::any_io_executor shared, std::weak_ptr<RealtimeAPI> client,
                     std::shared_ptr<platform::UnsafeInteriorMutable<platform::AudioConverter>> converter,
                     platform::AudioFormat wireFormat);

    // Gives the stream its connection; what waits in the queue goes out first, in capture order.
    void connect(std::weak_ptr<RealtimeAPI> client);

    // Installs the tap before returning, so nothing captured from now on is missed.
    void install(platform::AudioEngine& engine);
    // Removes the tap.
    void remove(platform::AudioEngine& engine);
    // No tap is installed any more and later buffers and queued chunks are dropped; the tap itself
    // is left to the engine's clean-up.
    void close();

    // One captured buffer, on the capture thread.
    void process(const std::shared_ptr<platform::PcmBuffer>& buffer);

private:
    using Clock = std::chrono::steady_clock;
    struct Chunk {
        Bytes bytes;
        Clock::time_point captured;
    };
    // When the audio of a buffer of `length` handed over now was captured (capture thread).
    Clock::time_point capturedAt(Clock::duration length, bool startsRecording);
    void enqueue(Chunk chunk);
    // Whether a chunk is too old to be sent now; says so once per run of dropped chunks.
    bool isStale(const Chunk& chunk);
    static boost::asio::awaitable<void> sendQueued(std::shared_ptr<MicrophoneStream> self);

    boost::asio::any_io_executor shared_;
    std::shared_ptr<platform::UnsafeInteriorMutable<platform::AudioConverter>> converter_;
    platform::AudioFormat wireFormat_;
    std::atomic<bool> closed_{false};

    // Chunks waiting for the sender, and their bytes.
    std::mutex chunksMutex_;
    std::weak_ptr<RealtimeAPI> client_;
    bool hasClient_ = false;
    std::deque<Chunk> chunks_;
    std::size_t queuedBytes_ = 0;
    bool sending_ = false;
    bool dropping_ = false;  // chunks were dropped since the queue last had room

    // Sender only: when the connection took its first chunk, and whether stale chunks are being
    // dropped.
    std::optional<Clock::time_point> liveSince_;
    bool droppingStale_ = false;

    // Capture thread only: when the last buffer arrived, and when its audio was captured.
    std::optional<Clock::time_point> lastArrival_;
    Clock::time_point lastCaptured_;
};

}  // namespace realtime
