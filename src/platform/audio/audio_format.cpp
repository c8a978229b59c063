#include "platform/audio/audio_format.hpp"

#include <cmath>

namespace platform {

bool AudioFormat::isValid() const {
    return std::isfinite(sampleRate) && sampleRate > 0 && channelCount >= 1 && channelCount <= 32;
}

std::string AudioFormat::description() const {
    std::string text = sampleFormat == SampleFormat::int16 ? "int16 " : "float32 ";
    text += std::to_string(static_cast<long long>(sampleRate)) + " Hz " + std::to_string(channelCount) + " ch";
    if (isInterleaved()) text += " interleaved";
    return text;
}

}  // namespace platform
