#include "support/audio_signals.hpp"

#include <cmath>
#include <numbers>

namespace kestro::test {

using platform::AudioFormat;
using platform::PcmBuffer;
using platform::SampleFormat;

std::shared_ptr<PcmBuffer> makeSine(const AudioFormat& format, uint32_t frames, double frequency, double amplitude,
                                    uint64_t startFrame) {
    auto buffer = PcmBuffer::make(format, frames);
    buffer->setFrameLength(frames);
    const uint32_t channels = format.channelCount;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        double value = amplitude * std::sin(2 * std::numbers::pi * frequency * double(startFrame + frame) / format.sampleRate);
        for (uint32_t channel = 0; channel < channels; ++channel) {
            uint32_t which = format.isInterleaved() ? 0 : channel;
            std::size_t index = format.isInterleaved() ? std::size_t(frame) * channels + channel : frame;
            if (format.sampleFormat == SampleFormat::float32) {
                reinterpret_cast<float*>(buffer->data(which))[index] = float(value);
            } else {
                reinterpret_cast<int16_t*>(buffer->data(which))[index] = int16_t(std::lround(value * 32767));
            }
        }
    }
    return buffer;
}

std::vector<float> firstChannel(const PcmBuffer& buffer) {
    const auto& format = buffer.format();
    const uint32_t stride = format.isInterleaved() ? format.channelCount : 1;
    std::vector<float> samples(buffer.frameLength());
    for (uint32_t frame = 0; frame < buffer.frameLength(); ++frame) {
        std::size_t index = std::size_t(frame) * stride;
        samples[frame] = format.sampleFormat == SampleFormat::float32
                             ? reinterpret_cast<const float*>(buffer.data())[index]
                             : reinterpret_cast<const int16_t*>(buffer.data())[index] / 32768.0f;
    }
    return samples;
}

double dominantFrequency(std::span<const float> samples, double sampleRate) {
    double best = 0;
    double bestPower = -1;
    for (double frequency = 50; frequency <= 4000; frequency += 5) {
        // Goertzel filter for one frequency.
        double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / sampleRate);
        double s1 = 0, s2 = 0;
        for (float sample : samples) {
            double s0 = sample + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = frequency;
        }
    }
    return best;
}

double rms(std::span<const float> samples) {
    if (samples.empty()) return 0;
    double sum = 0;
    for (float sample : samples) sum += double(sample) * sample;
    return std::sqrt(sum / double(samples.size()));
}

}  // namespace kestro::test
