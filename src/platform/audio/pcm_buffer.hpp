#pragma once
// A block of PCM audio in one format: a fixed frame capacity and a frame length that tells how
// much of it holds audio.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/audio/audio_format.hpp"

namespace platform {

class PcmBuffer {
public:
    // A zeroed buffer, or none when the format is not valid or the capacity is too large to hold
    // (more than 1 GiB per channel buffer). A capacity of zero is allowed.
    static std::shared_ptr<PcmBuffer> make(const AudioFormat& format, uint32_t frameCapacity);
    // The same without clearing the storage, for a writer that fills the frames it then counts.
    static std::shared_ptr<PcmBuffer> makeUncleared(const AudioFormat& format, uint32_t frameCapacity);

    PcmBuffer(const PcmBuffer&) = delete;
    PcmBuffer& operator=(const PcmBuffer&) = delete;

    const AudioFormat& format() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(uint32_t frames) { frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_; }

    // A captured buffer that begins a new recording (the microphone opened again, after the sound
    // server came back, say): nothing captured before it was kept for it, however long the pause
    // before it was.
    bool startsRecording() const { return startsRecording_; }
    void setStartsRecording(bool starts) { startsRecording_ = starts; }

    // The buffer's storage: one buffer when interleaved (or mono), one per channel otherwise.
    uint32_t bufferCount() const { return format_.bufferCount(); }
    std::byte* data(uint32_t buffer = 0) { return storage_.get() + buffer * bufferBytes_; }
    const std::byte* data(uint32_t buffer = 0) const { return storage_.get() + buffer * bufferBytes_; }
    // Bytes of audio (the frame length, not the capacity) in one buffer.
    std::size_t byteSize() const { return std::size_t(frameLength_) * format_.bytesPerFrame(); }

    // Typed views of one buffer's audio (frame length times samples per frame). The sample type
    // must match the format.
    std::span<float> floatData(uint32_t buffer = 0);
    std::span<const float> floatData(uint32_t buffer = 0) const;
    std::span<int16_t> int16Data(uint32_t buffer = 0);
    std::span<const int16_t> int16Data(uint32_t buffer = 0) const;

private:
    PcmBuffer(const AudioFormat& format, uint32_t frameCapacity, bool cleared);
    std::size_t samplesInBuffer() const;

    AudioFormat format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    bool startsRecording_ = false;
    std::size_t bufferBytes_;
    std::unique_ptr<std::byte[]> storage_;
};

}  // namespace platform
