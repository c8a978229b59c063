#include "platform/audio/audio_converter.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/audio/audio_errors.hpp"

namespace platform {

namespace {

// Empty calls in a row after which an input block that keeps answering haveData without audio
// counts as dry, so a conversion always ends.
constexpr int maxEmptyPulls = 8;

float sampleAt(const PcmBuffer& buffer, uint32_t frame, uint32_t channel) {
    const auto& format = buffer.format();
    uint32_t bufferIndex = format.isInterleaved() ? 0 : channel;
    std::size_t index = format.isInterleaved() ? std::size_t(frame) * format.channelCount + channel : frame;
    if (format.sampleFormat == SampleFormat::float32) {
        return reinterpret_cast<const float*>(buffer.data(bufferIndex))[index];
    }
    return reinterpret_cast<const int16_t*>(buffer.data(bufferIndex))[index] / 32768.0f;
}

int16_t toInt16(float value) {
    float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

}  // namespace

struct AudioConverter::State {
    AudioFormat from;
    AudioFormat to;
    uint32_t channels = 0;  // output channels; the resampler works on these, interleaved
    soxr_t resampler = nullptr;
    std::vector<float> pending;  // mapped input not yet taken by the resampler
    std::size_t pendingOffset = 0;  // in frames
    std::vector<float> scratch;
    bool inputEnded = false;
    bool outputEnded = false;

    ~State() {
        if (resampler) soxr_delete(resampler);
    }

    std::size_t pendingFrames() const { return pending.size() / channels - pendingOffset; }

    void consume(std::size_t frames) {
        pendingOffset += frames;
        if (pendingOffset * channels == pending.size()) {
            pending.clear();
            pendingOffset = 0;
        }
    }

    void append(const PcmBuffer& buffer) {
        if (pendingOffset > 0) {
            pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(pendingOffset * channels));
            pendingOffset = 0;
        }
        uint32_t frames = buffer.frameLength();
        uint32_t inChannels = buffer.format().channelCount;
        std::size_t start = pending.size();
        pending.resize(start + std::size_t(frames) * channels);
        float* out = pending.data() + start;
        if (inChannels == 1 && channels == 1 && buffer.format().sampleFormat == SampleFormat::float32) {
            std::copy_n(reinterpret_cast<const float*>(buffer.data()), frames, out);
            return;
        }
        for (uint32_t frame = 0; frame < frames; ++frame) {
            for (uint32_t channel = 0; channel < channels; ++channel) {
                *out++ = sampleAt(buffer, frame, std::min(channel, inChannels - 1));
            }
        }
    }

    // Writes `frames` frames of `scratch` into the output buffer from frame `at` on.
    void store(PcmBuffer& output, uint32_t at, std::size_t frames) const {
        const auto& format = output.format();
        const float* in = scratch.data();
        for (std::size_t frame = 0; frame < frames; ++frame) {
            for (uint32_t channel = 0; channel < channels; ++channel) {
                uint32_t bufferIndex = format.isInterleaved() ? 0 : channel;
                std::size_t index = format.isInterleaved() ? (at + frame) * channels + channel : at + frame;
                float value = *in++;
                if (format.sampleFormat == SampleFormat::float32) {
                    reinterpret_cast<float*>(output.data(bufferIndex))[index] = value;
                } else {
                    reinterpret_cast<int16_t*>(output.data(bufferIndex))[index] = toInt16(value);
                }
            }
        }
    }
};

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from, const AudioFormat& to) {
    if (!from.isValid() || !to.isValid()) throw ConverterCreationError();
    auto state = std::make_unique<State>();
    state->from = from;
    state->to = to;
    state->channels = to.channelCount;
    if (from.sampleRate != to.sampleRate) {
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        state->resampler = soxr_create(from.sampleRate, to.sampleRate, to.channelCount, &error, &io, &quality, nullptr);
        if (error || !state->resampler) throw ConverterCreationError();
    }
    return std::unique_ptr<AudioConverter>(new AudioConverter(std::move(state)));
}

AudioConverter::AudioConverter(std::unique_ptr<State> state) : state_(std::move(state)) {}
AudioConverter::~AudioConverter() = default;

const AudioFormat& AudioConverter::inputFormat() const { return state_->from; }
const AudioFormat& AudioConverter::outputFormat() const { return state_->to; }

void AudioConverter::reset() {
    auto& s = *state_;
    if (s.resampler) soxr_clear(s.resampler);
    s.pending.clear();
    s.pendingOffset = 0;
    s.inputEnded = false;
    s.outputEnded = false;
}

AudioConverter::Result AudioConverter::convert(PcmBuffer& output, const InputBlock& input) {
    auto& s = *state_;
    output.setFrameLength(0);
    if (!(output.format() == s.to)) {
        return {OutputStatus::error, "the output buffer is not in the converter's output format"};
    }
    const uint32_t capacity = output.frameCapacity();
    const double ratio = s.from.sampleRate / s.to.sampleRate;
    uint32_t produced = 0;
    bool inputDry = false;
    int emptyPulls = 0;

    while (produced < capacity && !s.outputEnded) {
        std::size_t room = capacity - produced;
        if (s.pendingFrames() == 0 && !s.inputEnded && !inputDry) {
            InputStatus status = InputStatus::haveData;
            auto wanted = static_cast<uint32_t>(std::min(std::ceil(double(room) * ratio), 4294967295.0));
            auto buffer = input ? input(wanted, status) : nullptr;
            if (status == InputStatus::noDataNow) {
                inputDry = true;
            } else {
                if (status == InputStatus::endOfStream) s.inputEnded = true;
                if (buffer && buffer->frameLength() > 0) {
                    if (!(buffer->format() == s.from)) {
                        output.setFrameLength(produced);
                        return {OutputStatus::error, "the input buffer is not in the converter's input format"};
                    }
                    s.append(*buffer);
                    emptyPulls = 0;
                } else if (status == InputStatus::haveData && ++emptyPulls >= maxEmptyPulls) {
                    inputDry = true;
                }
            }
            continue;
        }

        s.scratch.resize(room * s.channels);
        std::size_t taken = 0;
        std::size_t made = 0;
        const std::size_t available = s.pendingFrames();
        if (!s.resampler) {
            made = taken = std::min(available, room);
            std::copy_n(s.pending.data() + s.pendingOffset * s.channels, made * s.channels, s.scratch.data());
            if (made == 0 && s.inputEnded) s.outputEnded = true;
        } else {
            const bool flushing = s.inputEnded && available == 0;
            const float* in = flushing ? nullptr : s.pending.data() + s.pendingOffset * s.channels;
            static const float none = 0;
            if (!flushing && available == 0) in = &none;  // dry: collect what the resampler still holds
            soxr_error_t error = soxr_process(s.resampler, in, available, &taken, s.scratch.data(), room, &made);
            if (error) {
                output.setFrameLength(produced);
                return {OutputStatus::error, std::string(error)};
            }
            if (flushing && made == 0) s.outputEnded = true;
        }
        s.consume(taken);
        s.store(output, produced, made);
        produced += static_cast<uint32_t>(made);
        if (taken == 0 && made == 0) break;  // nothing more until new input arrives
    }

    output.setFrameLength(produced);
    if (produced == capacity && capacity > 0) return {OutputStatus::haveData, {}};
    if (s.outputEnded) return {OutputStatus::endOfStream, {}};
    if (produced == capacity) return {OutputStatus::haveData, {}};
    return {OutputStatus::inputRanDry, {}};
}

}  // namespace platform
