#include "realtime/conversation/microphone_stream.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>

#include "platform/runtime/print.hpp"
#include "realtime/conversation/audio_conversion.hpp"
#include "realtime/model/client_event.hpp"

namespace realtime {

namespace asio = boost::asio;

MicrophoneStream::MicrophoneStream(asio::any_io_executor shared, std::weak_ptr<RealtimeAPI> client,
                                   std::shared_ptr<platform::UnsafeInteriorMutable<platform::AudioConverter>> converter,
                                   platform::AudioFormat wireFormat)
    : shared_(std::move(shared)),
      converter_(std::move(converter)),
      wireFormat_(wireFormat),
      client_(std::move(client)),
      hasClient_(!client_.expired()) {}

void MicrophoneStream::connect(std::weak_ptr<RealtimeAPI> client) {
    bool startSender = false;
    {
        std::lock_guard lock(chunksMutex_);
        if (closed_ || hasClient_) return;
        client_ = std::move(client);
        hasClient_ = true;
        startSender = !chunks_.empty() && !std::exchange(sending_, true);
    }
    if (startSender) asio::co_spawn(shared_, sendQueued(shared_from_this()), asio::detached);
}

void MicrophoneStream::install(platform::AudioEngine& engine) {
    if (closed_) return;
    engine.installTap(tapBufferSize, [self = shared_from_this()](std::shared_ptr<platform::PcmBuffer> buffer) {
        self->process(buffer);
    });
}

void MicrophoneStream::remove(platform::AudioEngine& engine) { engine.removeTap(); }

void MicrophoneStream::close() {
    closed_ = true;
    std::lock_guard lock(chunksMutex_);
    chunks_.clear();
    queuedBytes_ = 0;
}

void MicrophoneStream::process(const std::shared_ptr<platform::PcmBuffer>& buffer) {
    if (closed_) return;
    auto converter = converter_->value();
    if (!converter || !buffer) return;
    std::shared_ptr<const platform::PcmBuffer> converted;
    if (auto capacity = frameCapacity(buffer->frameLength(), wireFormat_.sampleRate / buffer->format().sampleRate)) {
        converted = convertBuffer(buffer, *converter, *capacity);
    }
    if (!converted) {
        platform::print("Buffer conversion failed.");
        return;
    }
    const auto length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(buffer->frameLength() / buffer->format().sampleRate));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(converted->data(0));
    enqueue(Chunk{Bytes(bytes, bytes + converted->byteSize()), capturedAt(length, buffer->startsRecording())});
}

MicrophoneStream::Clock::time_point MicrophoneStream::capturedAt(Clock::duration length, bool startsRecording) {
    // Buffers that arrive at about the pace they play are live, and so is the first of a recording.
    // Buffers that come after a gap, or back to back, are what the sound server kept while we did
    // not take it: each was captured one buffer's length after the one before, and none later
    // than now. A recording opened anew after a gap (the sound server came back) kept nothing.
    const auto now = Clock::now();
    const bool live = !lastArrival_ || startsRecording ||
                      (now - *lastArrival_ >= length / 2 && now - *lastArrival_ <= length * 2);
    lastCaptured_ = live ? now : std::min(now, lastCaptured_ + length);
    lastArrival_ = now;
    return lastCaptured_;
}

bool MicrophoneStream::isStale(const Chunk& chunk) {
    // What was captured while the connection opened is the backlog, bounded on its own and sent
    // whole; from then on audio goes out only while it is fresh.
    const bool stale = liveSince_ && chunk.captured >= *liveSince_ && Clock::now() - chunk.captured > staleAudioLimit;
    if (stale && !std::exchange(droppingStale_, true)) {
        platform::print("Microphone audio dropped: it was held up for too long to be sent as live.");
    }
    if (!stale) droppingStale_ = false;
    return stale;
}

void MicrophoneStream::enqueue(Chunk chunk) {
    const auto limit = static_cast<std::size_t>(maxQueuedAudio.count()) * static_cast<std::size_t>(wireFormat_.sampleRate) *
                       wireFormat_.bytesPerFrame();
    bool startedDropping = false;
    bool startSender = false;
    {
        std::lock_guard lock(chunksMutex_);
        if (closed_) return;
        queuedBytes_ += chunk.bytes.size();
        chunks_.push_back(std::move(chunk));
        while (queuedBytes_ > limit && chunks_.size() > 1) {
            queuedBytes_ -= chunks_.front().bytes.size();
            chunks_.pop_front();
            startedDropping = !std::exchange(dropping_, true);
        }
        if (queuedBytes_ <= limit / 2) dropping_ = false;
        startSender = hasClient_ && !std::exchange(sending_, true);
    }
    if (startSender) asio::co_spawn(shared_, sendQueued(shared_from_this()), asio::detached);
    if (startedDropping) platform::print("Microphone audio dropped: the connection does not take it as fast as it is captured.");
}

asio::awaitable<void> MicrophoneStream::sendQueued(std::shared_ptr<MicrophoneStream> self) {
    for (;;) {
        Chunk chunk;
        std::shared_ptr<RealtimeAPI> client;
        {
            std::lock_guard lock(self->chunksMutex_);
            if (self->chunks_.empty()) {
                self->sending_ = false;
                co_return;
            }
            chunk = std::move(self->chunks_.front());
            self->chunks_.pop_front();
            self->queuedBytes_ -= chunk.bytes.size();
            client = self->client_.lock();
        }
        if (!client || self->isStale(chunk)) continue;
        // Queued now; the connection is let go before the write is awaited.
        auto sending = client->send(ClientEvent::appendInputAudioBuffer(std::nullopt, chunk.bytes));
        client.reset();
        try {
            co_await std::move(sending);
            if (!self->liveSince_) self->liveSince_ = Clock::now();
        } catch (...) {
            // A chunk that cannot be sent is lost; the next one is tried all the same.
        }
    }
}

}  // namespace realtime
