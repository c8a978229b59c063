#pragma once
// Test signals for the audio layer: sine buffers and the dominant frequency of a recording.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/audio/pcm_buffer.hpp"

namespace kestro::test {

// `frames` frames of a sine in every channel, continuing from frame `startFrame` of the same tone.
std::shared_ptr<platform::PcmBuffer> makeSine(const platform::AudioFormat& format, uint32_t frames,
                                              double frequency, double amplitude = 0.5, uint64_t startFrame = 0);

// The first channel of a buffer as floats in [-1, 1).
std::vector<float> firstChannel(const platform::PcmBuffer& buffer);

// The frequency (searched from 50 to 4000 Hz in 5 Hz steps) carrying the most energy.
double dominantFrequency(std::span<const float> samples, double sampleRate);

// Root mean square of the samples.
double rms(std::span<const float> samples);

}  // namespace kestro::test
