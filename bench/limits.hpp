#pragma once
// The least work the call's two hot paths could do, for the benchmarks' limits: libraries only,
// no application code, no copies beyond the ones the work itself makes.

#include <boost/json/parse.hpp>
#include <soxr.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <memory>
#include <vector>

#include "platform/audio/pcm_buffer.hpp"
#include "realtime/model/base64.hpp"

namespace bench {

// A microphone buffer: 4096 frames of 48 kHz mono float. 187.5 Hz repeats every 256 frames, so one
// precomputed buffer played again and again is a continuous tone.
inline std::shared_ptr<platform::PcmBuffer> microphoneBuffer() {
    auto buffer = platform::PcmBuffer::make(platform::AudioFormat::float32(48000, 1), 4096);
    buffer->setFrameLength(4096);
    auto samples = buffer->floatData();
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.3f * float(std::sin(2 * M_PI * double(i) / 256));
    return buffer;
}

inline soxr_t makeSoxr(double from, double to, soxr_datatype_t input, soxr_datatype_t output) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(input, output);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    return soxr_create(from, to, 1, &error, &io, &quality, nullptr);
}

// A microphone buffer of 48 kHz mono float to its frame: soxr to 24 kHz PCM16, base64, a frame
// put together by hand.
class MicrophoneLimit {
public:
    MicrophoneLimit() : soxr_(makeSoxr(48000, 24000, SOXR_FLOAT32_I, SOXR_INT16_I)) {}
    ~MicrophoneLimit() { soxr_delete(soxr_); }
    MicrophoneLimit(const MicrophoneLimit&) = delete;
    MicrophoneLimit& operator=(const MicrophoneLimit&) = delete;

    std::string frame(std::span<const float> samples) {
        pcm_.resize(samples.size());
        std::size_t taken = 0;
        std::size_t made = 0;
        soxr_process(soxr_, samples.data(), samples.size(), &taken, pcm_.data(), pcm_.size(), &made);
        const auto audio = realtime::base64Encode(std::span(reinterpret_cast<const std::uint8_t*>(pcm_.data()), made * 2));
        std::string frame;
        frame.reserve(audio.size() + 48);
        frame += R"({"audio":")";
        frame += audio;
        frame += R"(","type":"input_audio_buffer.append"})";
        return frame;
    }

private:
    soxr_t soxr_;
    std::vector<std::int16_t> pcm_;
};

// An audio delta's text to the player's audio (float, `channels` split channels at `rate`):
// Boost.JSON's parse, base64, soxr from 24 kHz PCM16, the first channel copied to the others.
class DeltaLimit {
public:
    DeltaLimit(double rate, unsigned channels)
        : soxr_(makeSoxr(24000, rate, SOXR_INT16_I, SOXR_FLOAT32_I)), rate_(rate), channels_(channels) {}
    ~DeltaLimit() { soxr_delete(soxr_); }
    DeltaLimit(const DeltaLimit&) = delete;
    DeltaLimit& operator=(const DeltaLimit&) = delete;

    // Decoded audio bytes of the delta's text.
    static std::size_t decode(std::string_view text, realtime::Bytes& audio) {
        const auto value = boost::json::parse(text);
        const auto& delta = value.get_object().at("delta").get_string();
        auto bytes = realtime::base64Decode(std::string_view(delta.data(), delta.size()));
        audio = std::move(*bytes);
        return audio.size();
    }

    // Frames played.
    std::size_t play(std::string_view text) {
        realtime::Bytes audio;
        decode(text, audio);
        const std::size_t frames = audio.size() / 2;
        const auto capacity = static_cast<std::size_t>(double(frames) * rate_ / 24000) + 64;
        output_.resize(capacity * channels_);
        std::size_t taken = 0;
        std::size_t made = 0;
        soxr_process(soxr_, audio.data(), frames, &taken, output_.data(), capacity, &made);
        for (unsigned channel = 1; channel < channels_; ++channel) {
            std::memcpy(output_.data() + channel * capacity, output_.data(), made * sizeof(float));
        }
        return made;
    }

private:
    soxr_t soxr_;
    double rate_;
    unsigned channels_;
    std::vector<float> output_;
};

}  // namespace bench
