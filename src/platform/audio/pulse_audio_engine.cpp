#include "platform/audio/pulse_audio_engine.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include "platform/audio/detail/pulse_connection.hpp"
#include "platform/audio/detail/serial_worker.hpp"
#include "platform/audio/detail/tap_slot.hpp"

namespace platform {

namespace {

using detail::PulseConnection;
using Completions = std::vector<PlayerNode::Completion>;

constexpr pa_usec_t pollInterval = 10 * PA_USEC_PER_MSEC;
constexpr pa_usec_t playbackBuffer = 80 * PA_USEC_PER_MSEC;
constexpr pa_usec_t playbackRequest = 20 * PA_USEC_PER_MSEC;
constexpr pa_usec_t captureFragment = 20 * PA_USEC_PER_MSEC;

class PulsePlayer;

pa_sample_spec specOf(const AudioFormat& format) {
    pa_sample_spec spec{};
    spec.format = format.sampleFormat == SampleFormat::int16 ? PA_SAMPLE_S16NE : PA_SAMPLE_FLOAT32NE;
    spec.rate = static_cast<uint32_t>(format.sampleRate);
    spec.channels = static_cast<uint8_t>(format.channelCount);
    return spec;
}

bool representable(const AudioFormat& format) {
    if (!format.isValid() || format.sampleRate != double(static_cast<uint32_t>(format.sampleRate))) return false;
    auto spec = specOf(format);
    return pa_sample_spec_valid(&spec) != 0;
}

void release(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}

void runAll(Completions& completions) {
    for (auto& completion : completions) {
        if (completion) completion();
    }
    completions.clear();
}

void closeStream(pa_stream*& stream) {
    if (!stream) return;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
}

}  // namespace

// Everything below the connection is guarded by the connection's lock, except the tap slot and
// the workers, which have their own.
struct PulseAudioEngine::Core : std::enable_shared_from_this<Core> {
    PulseConnection connection{"Kestro"};
    bool running = false;
    bool shutDown = false;
    std::optional<AudioFormat> inputFormat;
    std::string sourceName;
    pa_stream* record = nullptr;
    uint32_t tapBufferSize = 4096;
    std::shared_ptr<PcmBuffer> capturing;  // the tap buffer being filled
    std::vector<std::weak_ptr<PulsePlayer>> players;
    detail::TapSlot tap;
    std::unique_ptr<detail::SerialWorker> capture = std::make_unique<detail::SerialWorker>();
    std::unique_ptr<detail::SerialWorker> callbacks = std::make_unique<detail::SerialWorker>();

    // Completions go to the callback thread; once the engine is gone, to `inline_` for the caller
    // to run after unlocking.
    void dispatch(Completions done, Completions& inline_) {
        if (done.empty()) return;
        if (callbacks) {
            callbacks->post([done = std::move(done)]() mutable { runAll(done); });
        } else {
            for (auto& completion : done) inline_.push_back(std::move(completion));
        }
    }

    bool readInputFormat();
    bool openRecordStream(std::string& error);
    void closeRecordStream();
    void onRead(pa_stream* stream);
    void append(const uint8_t* data, std::size_t bytes);
};

namespace {

class PulsePlayer final : public PlayerNode {
public:
    using Core = PulseAudioEngine::Core;
    explicit PulsePlayer(std::shared_ptr<Core> core) : core_(std::move(core)) {}

    // What is still scheduled completes as dropped.
    ~PulsePlayer() override {
        Completions inline_;
        {
            PulseConnection::Lock lock(core_->connection);
            closeStreamLocked();
            core_->dispatch(dropAll(), inline_);
        }
        runAll(inline_);
    }

    AudioFormat outputFormat() const override {
        PulseConnection::Lock lock(core_->connection);
        return format;
    }

    void scheduleBuffer(std::shared_ptr<const PcmBuffer> buffer, Completion onPlayedBack) override {
        Completions inline_;
        {
            PulseConnection::Lock lock(core_->connection);
            if (!buffer) throw std::invalid_argument("scheduleBuffer: no buffer");
            if (!(buffer->format() == format)) {
                throw std::invalid_argument("scheduleBuffer: buffer is " + buffer->format().description() +
                                            ", player is " + format.description());
            }
            if (streamFailed) {
                Completions done;
                done.push_back(std::move(onPlayedBack));
                core_->dispatch(std::move(done), inline_);
            } else {
                queue.push_back({std::move(buffer), std::move(onPlayedBack), 0, -1});
                writeSome();
            }
        }
        runAll(inline_);
    }

    void play() override {
        PulseConnection::Lock lock(core_->connection);
        if (playing) return;
        playing = true;
        if (streamReady()) {
            release(pa_stream_cork(stream, 0, nullptr, nullptr));
            release(pa_stream_trigger(stream, nullptr, nullptr));
        }
    }

    void pause() override {
        PulseConnection::Lock lock(core_->connection);
        if (!playing) return;
        playing = false;
        if (streamReady()) release(pa_stream_cork(stream, 1, nullptr, nullptr));
    }

    void stop() override {
        Completions inline_;
        {
            PulseConnection::Lock lock(core_->connection);
            core_->dispatch(dropAll(), inline_);
            playing = false;
            ranDry = false;
            stopBase = rendered;
            if (streamReady()) {
                release(pa_stream_cork(stream, 1, nullptr, nullptr));
                release(pa_stream_flush(stream, nullptr, nullptr));
                // Where the next write lands is known again after the next timing update; the
                // player time restarts from the read position found then.
                synced = false;
                restartTimeOnSync = true;
            }
        }
        runAll(inline_);
    }

    bool isPlaying() const override {
        PulseConnection::Lock lock(core_->connection);
        return playing;
    }

    uint64_t underrunCount() const override {
        PulseConnection::Lock lock(core_->connection);
        return underruns;
    }

    std::optional<AudioTime> lastRenderTime() const override {
        PulseConnection::Lock lock(core_->connection);
        if (!connected || !core_->running || !stream) return std::nullopt;
        return AudioTime{rendered, format.sampleRate};
    }

    std::optional<AudioTime> playerTime(const AudioTime& renderTime) const override {
        PulseConnection::Lock lock(core_->connection);
        if (!playing) return std::nullopt;
        return AudioTime{std::max<int64_t>(renderTime.sampleTime - stopBase, 0), renderTime.sampleRate};
    }

    // ----- with the connection's lock held -----

    bool openStream() {
        closeStreamLocked();
        streamFailed = false;
        auto spec = specOf(format);
        stream = pa_stream_new(core_->connection.context(), "Kestro speech", &spec, nullptr);
        if (!stream) {
            streamFailed = true;
            return false;
        }
        pa_stream_set_state_callback(stream, [](pa_stream*, void* user) { static_cast<PulsePlayer*>(user)->onState(); }, this);
        pa_stream_set_write_callback(
            stream, [](pa_stream*, std::size_t, void* user) { static_cast<PulsePlayer*>(user)->writeSome(); }, this);
        pa_stream_set_underflow_callback(
            stream, [](pa_stream*, void* user) { static_cast<PulsePlayer*>(user)->ranDry = true; }, this);
        pa_buffer_attr attr{};
        attr.maxlength = uint32_t(-1);
        attr.tlength = uint32_t(pa_usec_to_bytes(playbackBuffer, &spec));
        attr.prebuf = uint32_t(-1);
        attr.minreq = uint32_t(pa_usec_to_bytes(playbackRequest, &spec));
        attr.fragsize = uint32_t(-1);
        auto flags = pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | (playing ? 0 : PA_STREAM_START_CORKED));
        if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) < 0) {
            closeStreamLocked();
            streamFailed = true;
            return false;
        }
        synced = false;
        freshStream = true;
        timer = pa_context_rttime_new(core_->connection.context(), pa_rtclock_now() + pollInterval,
                                      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
                                          static_cast<PulsePlayer*>(user)->onTimer();
                                      },
                                      this);
        return true;
    }

    void closeStreamLocked() {
        if (timing) {
            pa_operation_cancel(timing);
            pa_operation_unref(timing);
            timing = nullptr;
        }
        if (timer) {
            core_->connection.api()->time_free(timer);
            timer = nullptr;
        }
        closeStream(stream);
        // Whatever was written is gone with the stream; what is still queued is written to the next.
        for (auto& entry : queue) {
            entry.written = 0;
            entry.end = -1;
        }
    }

    pa_stream_state_t streamState() const { return stream ? pa_stream_get_state(stream) : PA_STREAM_UNCONNECTED; }
    bool streamReady() const { return streamState() == PA_STREAM_READY; }

    // Takes every scheduled buffer off the player; returns their completions.
    Completions dropAll() {
        Completions done;
        for (auto& entry : queue) done.push_back(std::move(entry.done));
        queue.clear();
        return done;
    }

    // The engine stopped or the player was disconnected.
    void detachFromOutput(Completions& inline_) {
        core_->dispatch(dropAll(), inline_);
        closeStreamLocked();
        streamFailed = false;
        playing = false;
        ranDry = false;
        stopBase = rendered;
    }

    void onState() {
        core_->connection.signal();
        auto state = streamState();
        if (state == PA_STREAM_READY) {
            requestTiming();
        } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            streamFailed = true;
            Completions inline_;
            core_->dispatch(dropAll(), inline_);
        }
    }

    void onTimer() {
        if (!queue.empty() || !synced) requestTiming();
        pa_context_rttime_restart(core_->connection.context(), timer, pa_rtclock_now() + pollInterval);
    }

    void requestTiming() {
        if (timing || !streamReady()) return;
        timing = pa_stream_update_timing_info(
            stream, [](pa_stream*, int success, void* user) { static_cast<PulsePlayer*>(user)->onTiming(success != 0); },
            this);
    }

    void onTiming(bool success) {
        if (timing) {
            pa_operation_unref(timing);
            timing = nullptr;
        }
        const pa_timing_info* info = success && stream ? pa_stream_get_timing_info(stream) : nullptr;
        if (!info) return;
        const int64_t frameBytes = format.bytesPerSample() * format.channelCount;
        if (!info->read_index_corrupt) {
            if (freshStream) {
                lastRead = info->read_index;
                freshStream = false;
            } else {
                // The server moves its read position back when it rewinds what a sink had read
                // ahead but not played yet; that audio is played again afterwards.
                int64_t frames = (info->read_index - lastRead) / frameBytes;
                rendered += frames;
                lastRead += frames * frameBytes;
            }
        }
        if (!synced && !freshStream && !info->write_index_corrupt) {
            writeIndex = info->write_index;
            synced = true;
            if (restartTimeOnSync) {
                // The player time restarts where the first write after the flush lands.
                stopBase = rendered + (writeIndex - lastRead) / frameBytes;
                restartTimeOnSync = false;
            }
            writeSome();
        }
        Completions done;
        while (!queue.empty() && queue.front().end >= 0 && queue.front().end <= lastRead) {
            done.push_back(std::move(queue.front().done));
            queue.pop_front();
        }
        Completions inline_;
        core_->dispatch(std::move(done), inline_);
    }

    // Writes as much of the scheduled audio as the server asks for.
    void writeSome() {
        if (!synced || !streamReady()) return;
        std::size_t writable = pa_stream_writable_size(stream);
        if (writable == std::size_t(-1)) return;
        const uint32_t frameBytes = format.bytesPerSample() * format.channelCount;
        bool wrote = false;
        for (auto& entry : queue) {
            if (entry.end >= 0) continue;
            const uint32_t length = entry.buffer->frameLength();
            auto frames = static_cast<uint32_t>(std::min<std::size_t>(length - entry.written, writable / frameBytes));
            if (frames > 0) {
                const void* data = interleaved(*entry.buffer, entry.written, frames);
                if (pa_stream_write(stream, data, std::size_t(frames) * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
                entry.written += frames;
                if (ranDry) {
                    // The server ran out of this stream's audio; what is written now follows a gap.
                    ++underruns;
                    ranDry = false;
                }
                writable -= std::size_t(frames) * frameBytes;
                writeIndex += int64_t(frames) * frameBytes;
                wrote = true;
            }
            if (entry.written < length) break;
            entry.end = writeIndex;
        }
        // Short answers would otherwise wait for the server's prebuffer to fill.
        if (wrote && playing) release(pa_stream_trigger(stream, nullptr, nullptr));
    }

    // `frames` frames from frame `first` of the buffer, interleaved as the stream wants them.
    const void* interleaved(const PcmBuffer& buffer, uint32_t first, uint32_t frames) {
        const auto& bufferFormat = buffer.format();
        const uint32_t sampleBytes = bufferFormat.bytesPerSample();
        if (bufferFormat.bufferCount() == 1) return buffer.data() + std::size_t(first) * bufferFormat.bytesPerFrame();
        const uint32_t channels = bufferFormat.channelCount;
        scratch.resize(std::size_t(frames) * channels * sampleBytes);
        for (uint32_t channel = 0; channel < channels; ++channel) {
            const std::byte* in = buffer.data(channel) + std::size_t(first) * sampleBytes;
            std::byte* out = scratch.data() + std::size_t(channel) * sampleBytes;
            for (uint32_t frame = 0; frame < frames; ++frame) {
                std::memcpy(out, in, sampleBytes);
                in += sampleBytes;
                out += std::size_t(channels) * sampleBytes;
            }
        }
        return scratch.data();
    }

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
    int64_t stopBase = 0;  // `rendered` at the last stop
    bool ranDry = false;   // the server reported an underflow and nothing was written since
    uint64_t underruns = 0;

private:
    std::shared_ptr<Core> core_;

public:
    pa_stream* stream = nullptr;
    bool streamFailed = false;
    pa_time_event* timer = nullptr;
    pa_operation* timing = nullptr;
    bool synced = false;       // writeIndex is known
    bool freshStream = false;  // the stream's first read index has not been seen yet
    bool restartTimeOnSync = false;
    int64_t writeIndex = 0;
    int64_t lastRead = 0;
    std::vector<std::byte> scratch;
};

PulsePlayer* ownPlayer(const PulseAudioEngine::Core& core, const PlayerNode& node) {
    auto* player = dynamic_cast<PulsePlayer*>(const_cast<PlayerNode*>(&node));
    if (player) {
        for (auto& weak : core.players) {
            if (weak.lock().get() == player) return player;
        }
    }
    throw std::invalid_argument("PulseAudioEngine: not a player of this engine");
}

}  // namespace

// ----- capture -----

bool PulseAudioEngine::Core::readInputFormat() {
    struct Query {
        PulseConnection& connection;
        std::string source;
        std::optional<pa_sample_spec> spec;
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
            if (eol == 0 && source) query->spec = source->sample_spec;
            if (eol != 0) query->connection.signal();
        },
        &query);
    if (!connection.await(source) || !query.spec) return false;
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
            // The job keeps the core alive, so a tap block may drop the last reference to the engine.
            capture->post([self = shared_from_this(), buffer = std::move(capturing)]() mutable {
                self->tap.deliver(std::move(buffer));
            });
            capturing.reset();
        }
    }
}

// ----- engine -----

PulseAudioEngine::PulseAudioEngine() : core_(std::make_shared<Core>()) {}

PulseAudioEngine::~PulseAudioEngine() {
    stop();
    core_->tap.remove();
    {
        PulseConnection::Lock lock(core_->connection);
        core_->shutDown = true;
    }
    core_->connection.shutDown();
    // Run what is queued (late completions included), then end both threads.
    core_->capture.reset();
    std::unique_ptr<detail::SerialWorker> callbacks;
    {
        PulseConnection::Lock lock(core_->connection);
        callbacks = std::move(core_->callbacks);
    }
    callbacks.reset();
}

AudioFormat PulseAudioEngine::inputFormat() {
    PulseConnection::Lock lock(core_->connection);
    if (core_->inputFormat) return *core_->inputFormat;
    std::string error;
    if (core_->shutDown || !core_->connection.connect(error) || !core_->readInputFormat()) throw NoInputDeviceError();
    return *core_->inputFormat;
}

void PulseAudioEngine::installTap(uint32_t bufferSize, TapBlock block) {
    PulseConnection::Lock lock(core_->connection);
    core_->tapBufferSize = std::max<uint32_t>(bufferSize, 1);
    core_->capturing.reset();
    core_->tap.install(std::move(block));
}

void PulseAudioEngine::removeTap() {
    core_->tap.remove();
    PulseConnection::Lock lock(core_->connection);
    core_->capturing.reset();
}

std::shared_ptr<PlayerNode> PulseAudioEngine::makePlayerNode() {
    auto player = std::make_shared<PulsePlayer>(core_);
    PulseConnection::Lock lock(core_->connection);
    std::erase_if(core_->players, [](const auto& weak) { return weak.expired(); });
    core_->players.push_back(player);
    return player;
}

void PulseAudioEngine::attach(const std::shared_ptr<PlayerNode>& node) {
    PulseConnection::Lock lock(core_->connection);
    if (!node) throw std::invalid_argument("PulseAudioEngine: no player");
    ownPlayer(*core_, *node)->attached = true;
}

bool PulseAudioEngine::isAttached(const PlayerNode& node) const {
    PulseConnection::Lock lock(core_->connection);
    auto* player = dynamic_cast<const PulsePlayer*>(&node);
    if (!player) return false;
    for (auto& weak : core_->players) {
        if (weak.lock().get() == player) return player->attached;
    }
    return false;
}

void PulseAudioEngine::connect(const std::shared_ptr<PlayerNode>& node, const AudioFormat& format) {
    Completions inline_;
    {
        PulseConnection::Lock lock(core_->connection);
        if (!node) throw std::invalid_argument("PulseAudioEngine: no player");
        auto* player = ownPlayer(*core_, *node);
        if (!player->attached) throw std::logic_error("PulseAudioEngine: connecting a player that is not attached");
        if (!representable(format)) throw std::invalid_argument("PulseAudioEngine: cannot play " + format.description());
        if (!player->connected || !(player->format == format)) {
            player->detachFromOutput(inline_);
            player->format = format;
            player->connected = true;
            if (core_->running) player->openStream();
        }
    }
    runAll(inline_);
}

void PulseAudioEngine::disconnectNodeInput(const PlayerNode& node) {
    PulseConnection::Lock lock(core_->connection);
    ownPlayer(*core_, node);
}

void PulseAudioEngine::disconnectNodeOutput(const PlayerNode& node) {
    Completions inline_;
    {
        PulseConnection::Lock lock(core_->connection);
        auto* player = ownPlayer(*core_, node);
        player->detachFromOutput(inline_);
        player->connected = false;
    }
    runAll(inline_);
}

void PulseAudioEngine::prepare() {}

void PulseAudioEngine::start() {
    {
        PulseConnection::Lock lock(core_->connection);
        if (core_->running) return;
        std::string error;
        if (core_->shutDown) throw AudioEngineStartError("the engine is shut down");
        if (!core_->connection.connect(error)) throw AudioEngineStartError(error);
        if (core_->inputFormat || core_->readInputFormat()) {
            if (!core_->openRecordStream(error)) throw AudioEngineStartError(error);
        }
        core_->running = true;
        std::vector<std::shared_ptr<PulsePlayer>> opened;
        for (auto& weak : core_->players) {
            auto player = weak.lock();
            if (player && player->attached && player->connected && player->openStream()) opened.push_back(player);
        }
        for (auto& player : opened) {
            while (player->streamState() == PA_STREAM_CREATING && core_->connection.ready()) core_->connection.wait();
        }
    }
    core_->tap.setActive(true);
}

void PulseAudioEngine::stop() {
    Completions inline_;
    {
        PulseConnection::Lock lock(core_->connection);
        core_->running = false;
        core_->closeRecordStream();
        for (auto& weak : core_->players) {
            if (auto player = weak.lock()) player->detachFromOutput(inline_);
        }
    }
    // Unlocked: a tap block still running may call into the engine.
    core_->tap.setActive(false);
    runAll(inline_);
}

void PulseAudioEngine::reset() {
    stop();
    PulseConnection::Lock lock(core_->connection);
    core_->inputFormat.reset();
    core_->sourceName.clear();
}

bool PulseAudioEngine::isRunning() const {
    PulseConnection::Lock lock(core_->connection);
    return core_->running;
}

std::unique_ptr<AudioConverter> PulseAudioEngine::makeConverter(const AudioFormat& from, const AudioFormat& to) {
    return AudioConverter::make(from, to);
}

}  // namespace platform
