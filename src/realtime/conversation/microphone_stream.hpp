#pragma once
// The microphone side of a conversation. The engine's capture thread hands every captured buffer
// to process(), which converts it to the wire format and queues its bytes; one sender at a time
// on the shared executor turns the queued chunks into "input_audio_buffer.append" events, so they
// leave in capture order. What is captured before the connection opens (or before the stream is
// given its connection at all) waits in the queue, which holds at most maxQueuedAudio of audio:
// beyond that the oldest chunks make room. The stream holds the connection only weakly: once the
// conversation is gone, chunks are dropped.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

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
    void enqueue(Bytes chunk);
    static boost::asio::awaitable<void> sendQueued(std::shared_ptr<MicrophoneStream> self);

    boost::asio::any_io_executor shared_;
    std::shared_ptr<platform::UnsafeInteriorMutable<platform::AudioConverter>> converter_;
    platform::AudioFormat wireFormat_;
    std::atomic<bool> closed_{false};

    // Chunks waiting for the sender, and their bytes.
    std::mutex chunksMutex_;
    std::weak_ptr<RealtimeAPI> client_;
    bool hasClient_ = false;
    std::deque<Bytes> chunks_;
    std::size_t queuedBytes_ = 0;
    bool sending_ = false;
    bool dropping_ = false;  // chunks were dropped since the queue last had room
};

}  // namespace realtime
