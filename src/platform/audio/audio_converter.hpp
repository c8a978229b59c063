#pragma once
// Pull converter between two PCM formats: sample rate (resampled with soxr), sample type and
// channel count. It keeps its resampling state between conversions, so a stream converted one
// buffer at a time comes out continuous. Channel mapping: output channel c is input channel
// c, or the last input channel when there are fewer, so a mix-down to mono takes the first
// channel and mono is copied to every output channel.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio/audio_format.hpp"
#include "platform/audio/pcm_buffer.hpp"

namespace platform {

class AudioConverter {
public:
    enum class InputStatus { haveData, noDataNow, endOfStream };
    enum class OutputStatus { haveData, inputRanDry, endOfStream, error };

    // Asked for input while a conversion needs some. framesWanted is an estimate in input frames.
    // Answer with a buffer in the input format and haveData, or set status to noDataNow (wait for
    // the next conversion; state is kept) or endOfStream (the converter drains what it holds).
    using InputBlock =
        std::function<std::shared_ptr<const PcmBuffer>(uint32_t framesWanted, InputStatus& status)>;

    struct Result {
        OutputStatus status = OutputStatus::haveData;
        std::optional<std::string> error;  // set with OutputStatus::error
    };

    // Throws ConverterCreationError when a format is not valid or the resampler cannot be made.
    static std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const;
    const AudioFormat& outputFormat() const;

    // Fills `output` (which must be in the output format) up to its capacity, pulling input as
    // needed, and sets its frame length to the frames produced. Status: haveData when full,
    // inputRanDry when the input said noDataNow first, endOfStream once everything after an end
    // of stream has been put out, error otherwise (the frames produced so far are kept).
    Result convert(PcmBuffer& output, const InputBlock& input);

    // Forgets all state, including an end of stream, as if newly made.
    void reset();

private:
    struct State;
    explicit AudioConverter(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace platform
