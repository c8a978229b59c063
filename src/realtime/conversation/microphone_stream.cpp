#include "realtime/conversation/microphone_stream.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

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
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(converted->data(0));
    enqueue(Bytes(bytes, bytes + converted->byteSize()));
}

void MicrophoneStream::enqueue(Bytes chunk) {
    const auto limit = static_cast<std::size_t>(maxQueuedAudio.count()) * static_cast<std::size_t>(wireFormat_.sampleRate) *
                       wireFormat_.bytesPerFrame();
    bool startedDropping = false;
    bool startSender = false;
    {
        std::lock_guard lock(chunksMutex_);
        if (closed_) return;
        queuedBytes_ += chunk.size();
        chunks_.push_back(std::move(chunk));
        while (queuedBytes_ > limit && chunks_.size() > 1) {
            queuedBytes_ -= chunks_.front().size();
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
        Bytes chunk;
        std::shared_ptr<RealtimeAPI> client;
        {
            std::lock_guard lock(self->chunksMutex_);
            if (self->chunks_.empty()) {
                self->sending_ = false;
                co_return;
            }
            chunk = std::move(self->chunks_.front());
            self->chunks_.pop_front();
            self->queuedBytes_ -= chunk.size();
            client = self->client_.lock();
        }
        auto event = ClientEvent::appendInputAudioBuffer(std::nullopt, chunk);
        if (client) {
            try {
                co_await client->send(std::move(event));
            } catch (...) {
                // A chunk that cannot be sent is lost; the next one is tried all the same.
            }
        }
    }
}

}  // namespace realtime
