#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/audio/detail/pulse_engine_core.hpp"

namespace platform {

using detail::closeStream;
using detail::PulseConnection;
using detail::representable;
using detail::specOf;

namespace {
constexpr pa_usec_t captureFragment = 20 * PA_USEC_PER_MSEC;
}

bool PulseAudioEngine::Core::readInputFormat(bool microphoneOnly) {
    struct Query {
        PulseConnection& connection;
        std::string source;
        std::optional<pa_sample_spec> spec;
        bool monitor = false;
    } query{connection, {}, {}};
    auto* info = pa_context_get_server_info(
        connection.context(),
        [](pa_context*, const pa_server_info* server, void* user) {
            auto* query = static_cast<Query*>(user);
            if (server && server->default_source_name) query->source = server->default_source_name;
            query->connection.signal();
        },
        &query);
    if (!connection.await(info) || query.source.empty()) return false;
    auto* source = pa_context_get_source_info_by_name(
        connection.context(), query.source.c_str(),
        [](pa_context*, const pa_source_info* source, int eol, void* user) {
            auto* query = static_cast<Query*>(user);
            if (eol == 0 && source) {
                query->spec = source->sample_spec;
                query->monitor = source->monitor_of_sink != PA_INVALID_INDEX;
            }
            if (eol != 0) query->connection.signal();
        },
        &query);
    if (!connection.await(source) || !query.spec) return false;
    if (microphoneOnly && query.monitor) return false;
    const auto& spec = *query.spec;
    bool sixteenBit = spec.format == PA_SAMPLE_S16LE || spec.format == PA_SAMPLE_S16BE;
    AudioFormat format = sixteenBit ? AudioFormat::int16(spec.rate, spec.channels, true)
                                    : AudioFormat::float32(spec.rate, spec.channels, true);
    if (!representable(format)) return false;
    inputFormat = format;
    sourceName = query.source;
    return true;
}

bool PulseAudioEngine::Core::openRecordStream(std::string& error) {
    closeRecordStream();
    auto spec = specOf(*inputFormat);
    record = pa_stream_new(connection.context(), "Kestro microphone", &spec, nullptr);
    if (!record) {
        error = pa_strerror(pa_context_errno(connection.context()));
        return false;
    }
    pa_stream_set_state_callback(record, [](pa_stream*, void* user) { static_cast<Core*>(user)->connection.signal(); }, this);
    pa_stream_set_read_callback(
        record, [](pa_stream* stream, std::size_t, void* user) { static_cast<Core*>(user)->onRead(stream); }, this);
    pa_buffer_attr attr{};
    attr.maxlength = uint32_t(-1);
    attr.fragsize = uint32_t(pa_usec_to_bytes(captureFragment, &spec));
    attr.tlength = attr.prebuf = attr.minreq = uint32_t(-1);
    if (pa_stream_connect_record(record, sourceName.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
        error = pa_strerror(pa_context_errno(connection.context()));
        closeRecordStream();
        return false;
    }
    recordingStarts = true;
    while (record && pa_stream_get_state(record) == PA_STREAM_CREATING && connection.ready()) connection.wait();
    if (!record || pa_stream_get_state(record) != PA_STREAM_READY) {
        error = "the microphone stream did not open: " + std::string(pa_strerror(pa_context_errno(connection.context())));
        closeRecordStream();
        return false;
    }
    return true;
}

void PulseAudioEngine::Core::closeRecordStream() {
    closeStream(record);
    capturing.reset();
}

void PulseAudioEngine::Core::onRead(pa_stream* stream) {
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
        if (tap.installed() && inputFormat) {
            if (data) {
                append(static_cast<const uint8_t*>(data), bytes);
            } else {
                std::vector<uint8_t> silence(bytes, 0);  // a hole in the recording
                append(silence.data(), bytes);
            }
        }
        pa_stream_drop(stream);
    }
}

void PulseAudioEngine::Core::append(const uint8_t* data, std::size_t bytes) {
    const uint32_t frameBytes = inputFormat->bytesPerFrame();
    while (bytes >= frameBytes) {
        if (!capturing) {
            capturing = PcmBuffer::make(*inputFormat, tapBufferSize);
            if (!capturing) return;
        }
        uint32_t filled = capturing->frameLength();
        auto frames = static_cast<uint32_t>(std::min<std::size_t>(tapBufferSize - filled, bytes / frameBytes));
        std::memcpy(capturing->data() + std::size_t(filled) * frameBytes, data, std::size_t(frames) * frameBytes);
        capturing->setFrameLength(filled + frames);
        data += std::size_t(frames) * frameBytes;
        bytes -= std::size_t(frames) * frameBytes;
        if (capturing->frameLength() == tapBufferSize) {
            capturing->setStartsRecording(std::exchange(recordingStarts, false));
            // The job keeps the core alive, so a tap block may drop the last reference to the engine.
            capture->post([self = shared_from_this(), buffer = std::move(capturing)]() mutable {
                self->tap.deliver(std::move(buffer));
            });
            capturing.reset();
        }
    }
}

}  // namespace platform
