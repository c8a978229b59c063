#include "platform/audio/detail/pulse_player.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace platform::detail {

namespace {
constexpr pa_usec_t playbackBuffer = 80 * PA_USEC_PER_MSEC;
// An unread tail of at most this much audio, with the read position still for this many polls.
constexpr std::chrono::milliseconds maxTail{100};
constexpr int tailPolls = 5;
}  // namespace

PulsePlayer::~PulsePlayer() {
    Completions inline_;
    {
        PulseConnection::Lock lock(core_->connection);
        closeStreamLocked();
        core_->dispatch(dropAll(), inline_);
    }
    runAll(inline_);
}

AudioFormat PulsePlayer::outputFormat() const {
    PulseConnection::Lock lock(core_->connection);
    return format;
}

void PulsePlayer::scheduleBuffer(std::shared_ptr<const PcmBuffer> buffer, Completion onPlayedBack) {
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

void PulsePlayer::play() {
    PulseConnection::Lock lock(core_->connection);
    if (playing) return;
    playing = true;
    if (streamReady()) {
        release(pa_stream_cork(stream, 0, nullptr, nullptr));
        release(pa_stream_trigger(stream, nullptr, nullptr));
        settling = false;  // playing, the position moves on
        reading = false;   // until the server reads again: a sink may wake late
        askForPosition();
    }
}

void PulsePlayer::pause() {
    PulseConnection::Lock lock(core_->connection);
    if (!playing) return;
    playing = false;
    if (streamReady()) {
        release(pa_stream_cork(stream, 1, nullptr, nullptr));
        if (queue.empty() && synced && writeIndex > lastRead) {
            // Left unread is only audio of buffers already complete (a tail the server read no
            // further): dropped, so that it does not play at the start of whatever comes next.
            // The player time counts it, as the completions did.
            stopBase -= (writeIndex - lastRead) / (format.bytesPerSample() * format.channelCount);
            release(pa_stream_flush(stream, nullptr, nullptr));
            synced = false;
        }
        // Asked after the cork, the position is where playing stopped; it is watched until it
        // stands still, so that what was read before the cork completes.
        settling = true;
        requestTiming();
    }
}

void PulsePlayer::stop() {
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
            reading = false;
            requestTiming();
        }
    }
    runAll(inline_);
}

bool PulsePlayer::isPlaying() const {
    PulseConnection::Lock lock(core_->connection);
    return playing;
}

uint64_t PulsePlayer::underrunCount() const {
    PulseConnection::Lock lock(core_->connection);
    return underruns;
}

std::optional<AudioTime> PulsePlayer::lastRenderTime() const {
    PulseConnection::Lock lock(core_->connection);
    if (!connected || !core_->running || !stream) return std::nullopt;
    const_cast<PulsePlayer*>(this)->refreshPosition();
    // A rewind takes the read position back for a moment; what was told stays told.
    reported = std::max(reported, rendered);
    return AudioTime{reported, format.sampleRate};
}

std::optional<AudioTime> PulsePlayer::playerTime(const AudioTime& renderTime) const {
    PulseConnection::Lock lock(core_->connection);
    if (!playing) return std::nullopt;
    return AudioTime{std::max<int64_t>(renderTime.sampleTime - stopBase, 0), renderTime.sampleRate};
}

bool PulsePlayer::openStream() {
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
    // A prebuffer of one frame: what is written plays at once, at the start and after the stream
    // ran dry, as a trigger after every write would make it (each trigger a round trip to the
    // server that wakes the loop once more). Not none: a stream without a prebuffer keeps reading
    // silence once it has run dry, and its read position runs ahead of what was written.
    attr.prebuf = uint32_t(format.bytesPerSample() * format.channelCount);
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
    reading = false;
    stillPolls = 0;
    settling = false;
    pollArmed = true;
    pollDue = pa_rtclock_now() + pollInterval;
    timer = pa_context_rttime_new(core_->connection.context(), pollDue,
                                  [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
                                      static_cast<PulsePlayer*>(user)->onTimer();
                                  },
                                  this);
    return true;
}

void PulsePlayer::closeStreamLocked() {
    if (timing) {
        pa_operation_cancel(timing);
        pa_operation_unref(timing);
        timing = nullptr;
    }
    if (timer) {
        core_->connection.api()->time_free(timer);
        timer = nullptr;
    }
    pollArmed = false;
    closeStream(stream);
    // Whatever was written is gone with the stream; what is still queued is written to the next.
    for (auto& entry : queue) {
        entry.written = 0;
        entry.end = -1;
    }
}

Completions PulsePlayer::dropAll() {
    Completions done;
    for (auto& entry : queue) done.push_back(std::move(entry.done));
    queue.clear();
    return done;
}

void PulsePlayer::detachFromOutput(Completions& inline_) {
    core_->dispatch(dropAll(), inline_);
    closeStreamLocked();
    streamFailed = false;
    playing = false;
    ranDry = false;
    stopBase = rendered;
}

void PulsePlayer::onState() {
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

void PulsePlayer::onTimer() {
    pollArmed = false;
    if (wantsPosition()) requestTiming();
    schedulePoll();
}

void PulsePlayer::requestTiming() {
    if (timing || !streamReady()) return;
    timing = pa_stream_update_timing_info(
        stream, [](pa_stream*, int success, void* user) { static_cast<PulsePlayer*>(user)->onTiming(success != 0); },
        this);
}

void PulsePlayer::onTiming(bool success) {
    if (timing) {
        pa_operation_unref(timing);
        timing = nullptr;
    }
    const pa_timing_info* info = success && stream ? pa_stream_get_timing_info(stream) : nullptr;
    if (!info) {
        schedulePoll();
        return;
    }
    lastPoll = pa_rtclock_now();
    ++positions;
    core_->connection.signal();  // for refreshPosition()
    const int64_t frameBytes = format.bytesPerSample() * format.channelCount;
    if (settling && !info->read_index_corrupt && !freshStream && info->read_index == lastRead) settling = false;
    if (!info->read_index_corrupt) {
        if (freshStream) {
            lastRead = info->read_index;
            freshStream = false;
        } else {
            // The server moves its read position back when it rewinds what a sink had read
            // ahead but not played yet; that audio is played again afterwards.
            const int64_t frames = (info->read_index - lastRead) / frameBytes;
            lastRead += frames * frameBytes;
            rendered += frames;
            if (frames > 0 && playing) reading = true;
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
    // A server that reads in whole periods (PipeWire's does) leaves the end of the audio, shorter
    // than one period, unread until more follows. Once the read position of a stream the server
    // is reading has stood still for a while, with nothing but such a tail left, the buffers
    // complete; the position stays what the server read. A stream not read yet (a suspended
    // sink, or one that starts late) has no tail: its buffers wait.
    if (lastRead == previousRead && playing && !queue.empty()) {
        ++stillPolls;
    } else {
        stillPolls = 0;
    }
    previousRead = lastRead;
    const auto tailBytes = int64_t(format.sampleRate * frameBytes) * maxTail.count() / 1000;
    const bool tailLeft = reading && stillPolls >= tailPolls && !queue.empty() && queue.back().end >= 0 &&
                          writeIndex - lastRead <= tailBytes;
    Completions done;
    while (!queue.empty() && queue.front().end >= 0 && (queue.front().end <= lastRead || tailLeft)) {
        done.push_back(std::move(queue.front().done));
        queue.pop_front();
    }
    Completions inline_;
    core_->dispatch(std::move(done), inline_);
    schedulePoll();
}

void PulsePlayer::writeSome() {
    if (!synced || !streamReady()) return;
    // A poll that is due goes out with the server's request for audio, which woke the loop
    // anyway, rather than with a wake-up of its own.
    if (pollArmed && !timing && pa_rtclock_now() >= pollDue && core_->connection.onLoopThread()) requestTiming();
    std::size_t writable = pa_stream_writable_size(stream);
    if (writable == std::size_t(-1)) return;
    const uint32_t frameBytes = format.bytesPerSample() * format.channelCount;
    for (auto& entry : queue) {
        if (entry.end >= 0) continue;
        const uint32_t length = entry.buffer->frameLength();
        auto frames = static_cast<uint32_t>(std::min<std::size_t>(length - entry.written, writable / frameBytes));
        if (frames > 0) {
            const void* data = interleaved(*entry.buffer, entry.written, frames);
            if (pa_stream_write(stream, data, std::size_t(frames) * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) break;
            entry.written += frames;
            if (ranDry) {
                // The server ran out of this stream's audio; what is written now follows a gap,
                // and counts as being read only once the server has read some of it.
                ++underruns;
                ranDry = false;
                reading = false;
            }
            writable -= std::size_t(frames) * frameBytes;
            writeIndex += int64_t(frames) * frameBytes;
        }
        if (entry.written < length) break;
        entry.end = writeIndex;
        if (&entry == &queue.front()) askForPosition();
    }
}

const void* PulsePlayer::interleaved(const PcmBuffer& buffer, uint32_t first, uint32_t frames) {
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

PulsePlayer* ownPlayer(const PulseAudioEngine::Core& core, const PlayerNode& node) {
    auto* player = dynamic_cast<PulsePlayer*>(const_cast<PlayerNode*>(&node));
    if (player) {
        for (auto& weak : core.players) {
            if (weak.lock().get() == player) return player;
        }
    }
    throw std::invalid_argument("PulseAudioEngine: not a player of this engine");
}

}  // namespace platform::detail
