#include "platform/audio/audio_converter.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "platform/audio/audio_errors.hpp"

namespace platform {

namespace {

// Empty calls in a row after which an input block that keeps answering haveData without audio
// counts as dry, so a conversion always ends.
constexpr int maxEmptyPulls = 8;

// One channel's samples in memory: every `stride`-th sample from `data` on.
struct Channel {
    std::byte* data;
    std::size_t stride;
    SampleFormat format;
};

Channel channelOf(const PcmBuffer& buffer, uint32_t channel) {
    const auto& format = buffer.format();
    auto* base = const_cast<std::byte*>(buffer.data(format.isInterleaved() ? 0 : channel));
    if (format.isInterleaved()) base += std::size_t(channel) * format.bytesPerSample();
    return {base, format.isInterleaved() ? std::size_t(format.channelCount) : 1, format.sampleFormat};
}

int16_t toInt16(float value) {
    float scaled = std::nearbyint(value * 32768.0f);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

template <class In, class Out>
void copySamples(const In* in, std::size_t inStride, Out* out, std::size_t outStride, std::size_t frames) {
    for (std::size_t frame = 0; frame < frames; ++frame, in += inStride, out += outStride) {
        if constexpr (std::is_same_v<In, Out>) {
            *out = *in;
        } else if constexpr (std::is_same_v<Out, float>) {
            *out = float(*in) / 32768.0f;
        } else {
            *out = toInt16(*in);
        }
    }
}

template <class In>
void copyFrom(const In* in, std::size_t inStride, const Channel& out, std::size_t outFrame, std::size_t frames) {
    std::byte* start = out.data + outFrame * out.stride * (out.format == SampleFormat::int16 ? 2 : 4);
    if (out.format == SampleFormat::float32) {
        copySamples(in, inStride, reinterpret_cast<float*>(start), out.stride, frames);
    } else {
        copySamples(in, inStride, reinterpret_cast<int16_t*>(start), out.stride, frames);
    }
}

// Copies `frames` frames of one channel, converting the sample type on the way.
void copyChannel(const Channel& in, std::size_t inFrame, const Channel& out, std::size_t outFrame, std::size_t frames) {
    if (in.format == SampleFormat::float32) {
        const auto* start = reinterpret_cast<const float*>(in.data) + inFrame * in.stride;
        copyFrom(start, in.stride, out, outFrame, frames);
    } else {
        const auto* start = reinterpret_cast<const int16_t*>(in.data) + inFrame * in.stride;
        copyFrom(start, in.stride, out, outFrame, frames);
    }
}

soxr_datatype_t soxrType(SampleFormat format, bool split) {
    if (format == SampleFormat::float32) return split ? SOXR_FLOAT32_S : SOXR_FLOAT32_I;
    return split ? SOXR_INT16_S : SOXR_INT16_I;
}

}  // namespace

struct AudioConverter::State {
    AudioFormat from;
    AudioFormat to;
    uint32_t channels = 0;  // output channels; the resampler works on these
    soxr_t resampler = nullptr;
    // With a resampler and differing channel counts, input is mapped to the output's channels
    // (float, interleaved) before the resampler takes it; otherwise it is read where it is.
    bool mapsChannels = false;
    // The input buffer being converted and the frames of it already taken.
    std::shared_ptr<const PcmBuffer> current;
    std::size_t currentFrames = 0;
    std::size_t taken = 0;
    std::unique_ptr<float[]> mapped;  // `current` mapped, when mapsChannels
    std::size_t mappedCapacity = 0;   // in samples
    std::vector<const void*> inChannels;  // the resampler's split input and output pointers
    std::vector<void*> outChannels;
    bool inputEnded = false;
    bool outputEnded = false;

    ~State() {
        if (resampler) soxr_delete(resampler);
    }

    std::size_t pendingFrames() const { return currentFrames - taken; }

    void consume(std::size_t frames) {
        taken += frames;
        if (taken == currentFrames) {
            current.reset();
            currentFrames = taken = 0;
        }
    }

    void accept(std::shared_ptr<const PcmBuffer> buffer) {
        currentFrames = buffer->frameLength();
        taken = 0;
        current = std::move(buffer);
        if (!mapsChannels) return;
        const std::size_t samples = currentFrames * channels;
        if (samples > mappedCapacity) {
            mapped.reset(new float[samples]);  // every sample is written below
            mappedCapacity = samples;
        }
        const uint32_t inCount = current->format().channelCount;
        for (uint32_t channel = 0; channel < channels; ++channel) {
            const Channel out{reinterpret_cast<std::byte*>(mapped.get() + channel), channels, SampleFormat::float32};
            copyChannel(channelOf(*current, std::min(channel, inCount - 1)), 0, out, 0, currentFrames);
        }
    }

    // Input for the resampler from the untaken frames on, in the form its input spec names.
    const void* resamplerInput() {
        static const float none[16] = {};
        if (!current) {
            // Dry: nothing to take, but the resampler may still put out what it holds.
            if (from.isInterleaved() || mapsChannels || from.channelCount == 1) return none;
            inChannels.assign(channels, none);
            return inChannels.data();
        }
        if (mapsChannels) return mapped.get() + taken * channels;
        const auto& format = current->format();
        if (format.isInterleaved() || format.channelCount == 1) {
            return current->data() + taken * format.bytesPerFrame();
        }
        inChannels.resize(channels);
        for (uint32_t channel = 0; channel < channels; ++channel) {
            inChannels[channel] = current->data(channel) + taken * format.bytesPerSample();
        }
        return inChannels.data();
    }

    void* resamplerOutput(PcmBuffer& output, std::size_t at) {
        if (to.isInterleaved() || to.channelCount == 1) return output.data() + at * to.bytesPerFrame();
        outChannels.resize(channels);
        for (uint32_t channel = 0; channel < channels; ++channel) {
            outChannels[channel] = output.data(channel) + at * to.bytesPerSample();
        }
        return outChannels.data();
    }

    // Without a resampler: the untaken input straight into the output.
    void copyInto(PcmBuffer& output, std::size_t at, std::size_t frames) const {
        const uint32_t inCount = current->format().channelCount;
        for (uint32_t channel = 0; channel < channels; ++channel) {
            copyChannel(channelOf(*current, std::min(channel, inCount - 1)), taken, channelOf(output, channel), at,
                        frames);
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
        // The resampler reads the input's samples and writes the output's itself.
        state->mapsChannels = from.channelCount != to.channelCount;
        const auto input = state->mapsChannels ? SOXR_FLOAT32_I
                                               : soxrType(from.sampleFormat, !from.isInterleaved() && from.channelCount > 1);
        soxr_error_t error = nullptr;
        soxr_io_spec_t io = soxr_io_spec(input, soxrType(to.sampleFormat, !to.isInterleaved() && to.channelCount > 1));
        io.flags |= SOXR_NO_DITHER;
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
    s.current.reset();
    s.currentFrames = s.taken = 0;
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
                    s.accept(std::move(buffer));
                    emptyPulls = 0;
                } else if (status == InputStatus::haveData && ++emptyPulls >= maxEmptyPulls) {
                    inputDry = true;
                }
            }
            continue;
        }

        std::size_t taken = 0;
        std::size_t made = 0;
        const std::size_t available = s.pendingFrames();
        if (!s.resampler) {
            made = taken = std::min(available, room);
            if (made > 0) s.copyInto(output, produced, made);
            if (made == 0 && s.inputEnded) s.outputEnded = true;
        } else {
            const bool flushing = s.inputEnded && available == 0;
            const void* in = flushing ? nullptr : s.resamplerInput();
            soxr_error_t error =
                soxr_process(s.resampler, in, available, &taken, s.resamplerOutput(output, produced), room, &made);
            if (error) {
                output.setFrameLength(produced);
                return {OutputStatus::error, std::string(error)};
            }
            if (flushing && made == 0) s.outputEnded = true;
        }
        if (taken > 0) s.consume(taken);
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
