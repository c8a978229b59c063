#include "platform/audio/pcm_buffer.hpp"

#include <stdexcept>

namespace platform {

namespace {
constexpr std::size_t maxBufferBytes = std::size_t(1) << 30;
}

std::shared_ptr<PcmBuffer> PcmBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
    if (!format.isValid()) return nullptr;
    if (std::size_t(frameCapacity) * format.bytesPerFrame() > maxBufferBytes) return nullptr;
    return std::shared_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity, true));
}

std::shared_ptr<PcmBuffer> PcmBuffer::makeUncleared(const AudioFormat& format, uint32_t frameCapacity) {
    if (!format.isValid()) return nullptr;
    if (std::size_t(frameCapacity) * format.bytesPerFrame() > maxBufferBytes) return nullptr;
    return std::shared_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity, false));
}

PcmBuffer::PcmBuffer(const AudioFormat& format, uint32_t frameCapacity, bool cleared)
    : format_(format),
      frameCapacity_(frameCapacity),
      bufferBytes_(std::size_t(frameCapacity) * format.bytesPerFrame()),
      // At least one byte so that data() is a real pointer even for an empty buffer.
      storage_(cleared ? new std::byte[bufferBytes_ * format.bufferCount() + 1]()
                       : new std::byte[bufferBytes_ * format.bufferCount() + 1]) {}

std::size_t PcmBuffer::samplesInBuffer() const {
    return std::size_t(frameLength_) * (format_.isInterleaved() ? format_.channelCount : 1);
}

std::span<float> PcmBuffer::floatData(uint32_t buffer) {
    if (format_.sampleFormat != SampleFormat::float32) throw std::logic_error("PcmBuffer: not float32 audio");
    return {reinterpret_cast<float*>(data(buffer)), samplesInBuffer()};
}

std::span<const float> PcmBuffer::floatData(uint32_t buffer) const {
    if (format_.sampleFormat != SampleFormat::float32) throw std::logic_error("PcmBuffer: not float32 audio");
    return {reinterpret_cast<const float*>(data(buffer)), samplesInBuffer()};
}

std::span<int16_t> PcmBuffer::int16Data(uint32_t buffer) {
    if (format_.sampleFormat != SampleFormat::int16) throw std::logic_error("PcmBuffer: not int16 audio");
    return {reinterpret_cast<int16_t*>(data(buffer)), samplesInBuffer()};
}

std::span<const int16_t> PcmBuffer::int16Data(uint32_t buffer) const {
    if (format_.sampleFormat != SampleFormat::int16) throw std::logic_error("PcmBuffer: not int16 audio");
    return {reinterpret_cast<const int16_t*>(data(buffer)), samplesInBuffer()};
}

}  // namespace platform
