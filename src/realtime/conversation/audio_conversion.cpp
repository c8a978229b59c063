#include "realtime/conversation/audio_conversion.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "platform/runtime/print.hpp"

namespace realtime {

std::shared_ptr<const platform::PcmBuffer> convertBuffer(std::shared_ptr<const platform::PcmBuffer> buffer,
                                                         platform::AudioConverter& converter,
                                                         std::uint32_t capacity) {
    if (buffer->format() == converter.outputFormat()) return buffer;
    auto output = platform::PcmBuffer::makeUncleared(converter.outputFormat(), capacity);
    if (!output) {
        platform::print("Failed to create converted audio buffer.");
        return nullptr;
    }
    // The input is offered once; later requests within this conversion hear "no data now", never
    // an end of stream, so the converter keeps what it holds for the next buffer.
    bool supplied = false;
    auto result = converter.convert(
        *output, [&](std::uint32_t, platform::AudioConverter::InputStatus& status)
                     -> std::shared_ptr<const platform::PcmBuffer> {
            if (supplied) {
                status = platform::AudioConverter::InputStatus::noDataNow;
                return nullptr;
            }
            supplied = true;
            status = platform::AudioConverter::InputStatus::haveData;
            return buffer;
        });
    if (result.status == platform::AudioConverter::OutputStatus::error) {
        platform::print("Error during conversion: " + result.error.value_or(std::string()));
        return nullptr;
    }
    return output;
}

std::shared_ptr<platform::PcmBuffer> makePcmBuffer(std::span<const std::uint8_t> samples,
                                                   const platform::AudioFormat& format) {
    const auto bytesPerFrame = format.bytesPerFrame();
    const auto frames = samples.size() / bytesPerFrame;
    std::shared_ptr<platform::PcmBuffer> buffer;
    if (frames <= std::numeric_limits<std::uint32_t>::max()) {
        buffer = platform::PcmBuffer::makeUncleared(format, static_cast<std::uint32_t>(frames));
    }
    if (!buffer) {
        platform::print("Error: Failed to create AVAudioPCMBuffer");
        return nullptr;
    }
    buffer->setFrameLength(static_cast<std::uint32_t>(frames));
    if (frames > 0) std::memcpy(buffer->data(0), samples.data(), buffer->byteSize());
    return buffer;
}

std::optional<std::uint32_t> frameCapacity(std::uint32_t frames, double ratio) {
    const double capacity = std::trunc(static_cast<double>(frames) * ratio);
    if (!std::isfinite(capacity) || capacity < 0 ||
        capacity > static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(capacity);
}

}  // namespace realtime
