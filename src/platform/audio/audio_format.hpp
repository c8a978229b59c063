#pragma once
// Formats and clock values of the audio layer: the microphone, the player and the wire all speak
// in these terms.

#include <cstdint>
#include <string>

namespace platform {

enum class SampleFormat { float32, int16 };

// The layout of PCM audio. Interleaved audio keeps every channel in one buffer; non-interleaved
// audio keeps one buffer per channel. For one channel the two layouts are the same and compare
// equal.
struct AudioFormat {
    SampleFormat sampleFormat = SampleFormat::float32;
    double sampleRate = 0;
    uint32_t channelCount = 0;
    bool interleaved = false;

    static AudioFormat float32(double sampleRate, uint32_t channelCount, bool interleaved = false) {
        return {SampleFormat::float32, sampleRate, channelCount, interleaved};
    }
    static AudioFormat int16(double sampleRate, uint32_t channelCount, bool interleaved = false) {
        return {SampleFormat::int16, sampleRate, channelCount, interleaved};
    }

    // A format audio can be stored in: a positive, finite rate and 1 to 32 channels.
    bool isValid() const;

    uint32_t bytesPerSample() const { return sampleFormat == SampleFormat::int16 ? 2 : 4; }
    // Bytes one frame takes in one buffer: every channel's sample when interleaved, one sample
    // otherwise.
    uint32_t bytesPerFrame() const { return isInterleaved() ? bytesPerSample() * channelCount : bytesPerSample(); }
    // Number of separate buffers a PCM buffer of this format holds.
    uint32_t bufferCount() const { return isInterleaved() ? 1 : channelCount; }
    bool isInterleaved() const { return interleaved && channelCount > 1; }

    // For log lines, e.g. "float32 48000 Hz 2 ch interleaved".
    std::string description() const;

    friend bool operator==(const AudioFormat& a, const AudioFormat& b) {
        return a.sampleFormat == b.sampleFormat && a.sampleRate == b.sampleRate &&
               a.channelCount == b.channelCount && a.isInterleaved() == b.isInterleaved();
    }
};

// A position on an audio clock, counted in frames at a sample rate.
struct AudioTime {
    int64_t sampleTime = 0;
    double sampleRate = 0;

    friend bool operator==(const AudioTime&, const AudioTime&) = default;
};

}  // namespace platform
