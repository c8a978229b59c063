#pragma once
// The conversions between the wire's audio and the engine's buffers that the microphone and the
// player paths of a conversation share. Failures are printed with fixed texts and give no buffer.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "platform/audio/audio_converter.hpp"
#include "platform/audio/pcm_buffer.hpp"

namespace realtime {

// Converts one buffer of a stream with `converter`, which keeps its resampling state for the next
// buffer, into a new buffer of at most `capacity` frames. A buffer already in the converter's output
// format is returned as it is.
std::shared_ptr<const platform::PcmBuffer> convertBuffer(std::shared_ptr<const platform::PcmBuffer> buffer,
                                                         platform::AudioConverter& converter,
                                                         std::uint32_t capacity);

// A buffer holding the whole frames of raw samples in `format`; a trailing partial frame is ignored.
std::shared_ptr<platform::PcmBuffer> makePcmBuffer(std::span<const std::uint8_t> samples,
                                                   const platform::AudioFormat& format);

// frames * ratio as a frame count, truncated; none when the result is not a finite count that fits.
std::optional<std::uint32_t> frameCapacity(std::uint32_t frames, double ratio);

}  // namespace realtime
