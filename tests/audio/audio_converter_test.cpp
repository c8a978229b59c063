#include "platform/audio/audio_converter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "platform/audio/audio_errors.hpp"
#include "support/audio_signals.hpp"

namespace {

using platform::AudioConverter;
using platform::AudioFormat;
using platform::PcmBuffer;
using Status = AudioConverter::OutputStatus;
using Input = AudioConverter::InputStatus;

const AudioFormat wire = AudioFormat::int16(24000, 1);

// Gives `buffer` once, then "no data now", the way a stream of microphone buffers is converted:
// the converter keeps its state for the next buffer.
AudioConverter::InputBlock once(std::shared_ptr<const PcmBuffer> buffer) {
    return [buffer, given = false](uint32_t, Input& status) mutable -> std::shared_ptr<const PcmBuffer> {
        status = given ? Input::noDataNow : Input::haveData;
        return std::exchange(given, true) ? nullptr : buffer;
    };
}

// Gives no buffer, with `status`.
AudioConverter::InputBlock nothing(Input status) {
    return [status](uint32_t, Input& given) -> std::shared_ptr<const PcmBuffer> {
        given = status;
        return nullptr;
    };
}

std::shared_ptr<PcmBuffer> convertOnce(AudioConverter& converter, std::shared_ptr<const PcmBuffer> buffer,
                                       uint32_t capacity, Status* status = nullptr) {
    auto output = PcmBuffer::make(converter.outputFormat(), capacity);
    auto result = converter.convert(*output, once(std::move(buffer)));
    if (status) *status = result.status;
    EXPECT_NE(result.status, Status::error) << result.error.value_or("");
    return output;
}

TEST(AudioConverter, MicrophoneStreamBecomesContinuousWireAudioAtHalfTheRate) {
    const auto mic = AudioFormat::float32(48000, 1);
    auto converter = AudioConverter::make(mic, wire);
    std::vector<float> out;
    std::vector<uint32_t> lengths;
    for (int i = 0; i < 12; ++i) {
        auto chunk =
            convertOnce(*converter, kestro::test::makeSine(mic, 4096, 440, 0.5, uint64_t(i) * 4096), 2048);
        lengths.push_back(chunk->frameLength());
        auto samples = kestro::test::firstChannel(*chunk);
        out.insert(out.end(), samples.begin(), samples.end());
    }
    // After the resampler's start-up every 4096-frame buffer yields exactly 2048 frames.
    for (std::size_t i = 3; i < lengths.size(); ++i) EXPECT_EQ(lengths[i], 2048u) << "buffer " << i;
    EXPECT_GT(out.size(), 12u * 2048 - 2048);

    EXPECT_EQ(kestro::test::dominantFrequency(std::span(out).subspan(4096), 24000), 440);
    // A converter that lost its state between buffers would leave a jump at each boundary; a
    // 440 Hz sine of amplitude 0.5 moves at most 0.058 per sample at 24 kHz.
    float largestStep = 0;
    for (std::size_t i = 4097; i < out.size(); ++i)
        largestStep = std::max(largestStep, std::abs(out[i] - out[i - 1]));
    EXPECT_LT(largestStep, 0.07f);
    EXPECT_NEAR(kestro::test::rms(std::span(out).subspan(4096)), 0.5 / std::sqrt(2.0), 0.01);
}

TEST(AudioConverter, ChannelsAndSampleTypesMapAsDocumented) {
    // Stereo interleaved int16 to mono float at the same rate: the first channel, exactly.
    auto stereo = PcmBuffer::make(AudioFormat::int16(24000, 2, true), 3);
    stereo->setFrameLength(3);
    auto s = stereo->int16Data();
    int16_t values[] = {16384, -1, -16384, 7, 32767, 9};
    std::copy(std::begin(values), std::end(values), s.begin());
    auto down = AudioConverter::make(stereo->format(), AudioFormat::float32(24000, 1));
    auto mono = convertOnce(*down, stereo, 3);
    ASSERT_EQ(mono->frameLength(), 3u);
    EXPECT_FLOAT_EQ(mono->floatData()[0], 0.5f);
    EXPECT_FLOAT_EQ(mono->floatData()[1], -0.5f);
    EXPECT_NEAR(mono->floatData()[2], 1.0f, 1e-4);

    // Mono float to non-interleaved stereo int16: copied to both channels, clamped to the range.
    auto loud = PcmBuffer::make(AudioFormat::float32(24000, 1), 3);
    loud->setFrameLength(3);
    auto l = loud->floatData();
    l[0] = 1.5f;
    l[1] = -2.0f;
    l[2] = 0.25f;
    auto up = AudioConverter::make(loud->format(), AudioFormat::int16(24000, 2, false));
    auto two = convertOnce(*up, loud, 3);
    ASSERT_EQ(two->frameLength(), 3u);
    for (uint32_t channel = 0; channel < 2; ++channel) {
        auto data = two->int16Data(channel);
        EXPECT_EQ(data[0], 32767);
        EXPECT_EQ(data[1], -32768);
        EXPECT_EQ(data[2], 8192);
    }
}

TEST(AudioConverter, InputLeftOverWhenTheOutputIsFullIsKeptForTheNextConversion) {
    const auto format = AudioFormat::int16(24000, 1);
    auto converter = AudioConverter::make(AudioFormat::float32(24000, 1), format);
    auto input = kestro::test::makeSine(AudioFormat::float32(24000, 1), 4096, 300);
    Status status;
    auto first = convertOnce(*converter, input, 1000, &status);
    EXPECT_EQ(status, Status::haveData);
    EXPECT_EQ(first->frameLength(), 1000u);
    uint32_t total = first->frameLength();
    for (int i = 0; i < 5; ++i) {
        auto output = PcmBuffer::make(format, 1000);
        auto result = converter->convert(*output, nothing(Input::noDataNow));
        total += output->frameLength();
        if (output->frameLength() < 1000) {
            EXPECT_EQ(result.status, Status::inputRanDry);
        }
    }
    EXPECT_EQ(total, 4096u);
}

TEST(AudioConverter, EndOfStreamDrainsTheResamplerUntilReset) {
    const auto mic = AudioFormat::float32(48000, 1);
    auto converter = AudioConverter::make(mic, wire);
    auto held = convertOnce(*converter, kestro::test::makeSine(mic, 4800, 440), 2400);
    ASSERT_LT(held->frameLength(), 2400u);  // the resampler's delay holds some back

    uint32_t drained = 0;
    Status status = Status::haveData;
    for (int i = 0; i < 10 && status != Status::endOfStream; ++i) {
        auto output = PcmBuffer::make(wire, 256);
        auto result = converter->convert(*output, nothing(Input::endOfStream));
        status = result.status;
        drained += output->frameLength();
    }
    EXPECT_EQ(status, Status::endOfStream);
    EXPECT_NEAR(double(held->frameLength() + drained), 2400.0, 2.0);

    // Ended: nothing more comes out, even with new input, until reset.
    Status after;
    EXPECT_EQ(convertOnce(*converter, kestro::test::makeSine(mic, 4800, 440), 2400, &after)->frameLength(),
              0u);
    EXPECT_EQ(after, Status::endOfStream);
    converter->reset();
    EXPECT_GT(convertOnce(*converter, kestro::test::makeSine(mic, 4800, 440), 2400)->frameLength(), 0u);
}

TEST(AudioConverter, CreationAndConversionFailuresAreReported) {
    EXPECT_THROW(AudioConverter::make(AudioFormat::float32(0, 1), wire), platform::ConverterCreationError);
    EXPECT_THROW(AudioConverter::make(AudioFormat::float32(48000, 0), wire),
                 platform::ConverterCreationError);
    EXPECT_THROW(AudioConverter::make(wire, AudioFormat::int16(NAN, 1)), platform::ConverterCreationError);

    auto converter = AudioConverter::make(AudioFormat::float32(48000, 1), wire);
    auto wrongInput = kestro::test::makeSine(AudioFormat::float32(44100, 1), 441, 440);
    auto output = PcmBuffer::make(wire, 256);
    auto result = converter->convert(*output, once(wrongInput));
    EXPECT_EQ(result.status, Status::error);
    EXPECT_TRUE(result.error.has_value());

    auto wrongOutput = PcmBuffer::make(AudioFormat::float32(24000, 1), 256);
    EXPECT_EQ(converter->convert(*wrongOutput, {}).status, Status::error);
}

TEST(AudioConverter, InputThatNeverCarriesAudioEndsTheConversion) {
    auto converter = AudioConverter::make(AudioFormat::float32(48000, 1), wire);
    auto output = PcmBuffer::make(wire, 2048);
    int calls = 0;
    auto result = converter->convert(*output, [&](uint32_t, Input& s) -> std::shared_ptr<const PcmBuffer> {
        ++calls;
        s = Input::haveData;
        return nullptr;
    });
    EXPECT_EQ(result.status, Status::inputRanDry);
    EXPECT_EQ(output->frameLength(), 0u);
    EXPECT_LT(calls, 100);
}

TEST(PcmBufferAndFormat, BuffersRefuseInvalidFormatsAndMonoLayoutsCompareEqual) {
    EXPECT_EQ(PcmBuffer::make(AudioFormat::float32(0, 1), 16), nullptr);
    EXPECT_EQ(PcmBuffer::make(AudioFormat::float32(48000, 2), 0x40000001), nullptr);
    auto empty = PcmBuffer::make(wire, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_NE(empty->data(), nullptr);
    EXPECT_EQ(empty->byteSize(), 0u);

    auto buffer = PcmBuffer::make(wire, 10);
    buffer->setFrameLength(99);
    EXPECT_EQ(buffer->frameLength(), 10u);
    EXPECT_EQ(buffer->byteSize(), 20u);
    EXPECT_THROW(buffer->floatData(), std::logic_error);

    EXPECT_EQ(AudioFormat::int16(24000, 1, true), AudioFormat::int16(24000, 1, false));
    EXPECT_FALSE(AudioFormat::int16(24000, 2, true) == AudioFormat::int16(24000, 2, false));
    EXPECT_EQ(AudioFormat::float32(48000, 2, true).bytesPerFrame(), 8u);
    EXPECT_EQ(AudioFormat::float32(48000, 2, false).bytesPerFrame(), 4u);
    EXPECT_EQ(PcmBuffer::make(AudioFormat::float32(48000, 2, false), 4)->bufferCount(), 2u);
}

// One channel of a buffer as floats, whatever its layout and sample type.
std::vector<float> channelSamples(const PcmBuffer& buffer, uint32_t channel) {
    const auto& format = buffer.format();
    const bool interleaved = format.isInterleaved();
    const std::byte* data = buffer.data(interleaved ? 0 : channel);
    std::vector<float> samples(buffer.frameLength());
    for (uint32_t frame = 0; frame < buffer.frameLength(); ++frame) {
        const std::size_t index = interleaved ? std::size_t(frame) * format.channelCount + channel : frame;
        samples[frame] = format.sampleFormat == platform::SampleFormat::float32
                             ? reinterpret_cast<const float*>(data)[index]
                             : reinterpret_cast<const int16_t*>(data)[index] / 32768.0f;
    }
    return samples;
}

// Converts 12 buffers of a 440 Hz tone, taking the output in pieces of 1500 frames so that input
// is left over between conversions, and returns every output channel.
std::vector<std::vector<float>> resampledTone(const AudioFormat& from, const AudioFormat& to) {
    auto converter = AudioConverter::make(from, to);
    std::vector<std::shared_ptr<const PcmBuffer>> queue;
    for (uint32_t i = 0; i < 12; ++i) queue.push_back(kestro::test::makeSine(from, 4096, 440, 0.5, i * 4096));
    std::size_t next = 0;
    auto input = [&](uint32_t, Input& status) -> std::shared_ptr<const PcmBuffer> {
        status = next < queue.size() ? Input::haveData : Input::noDataNow;
        return next < queue.size() ? queue[next++] : nullptr;
    };
    std::vector<std::vector<float>> channels(to.channelCount);
    while (true) {
        auto output = PcmBuffer::makeUncleared(to, 1500);
        auto result = converter->convert(*output, input);
        EXPECT_NE(result.status, Status::error) << result.error.value_or("");
        for (uint32_t c = 0; c < to.channelCount; ++c) {
            auto samples = channelSamples(*output, c);
            channels[c].insert(channels[c].end(), samples.begin(), samples.end());
        }
        if (result.status != Status::haveData) break;
    }
    return channels;
}

TEST(AudioConverter, ResamplingGivesTheSameAudioInEveryLayoutAndSampleType) {
    for (const auto& [fromRate, toRate] : {std::pair{48000.0, 24000.0}, std::pair{24000.0, 44100.0}}) {
        const auto reference = resampledTone(AudioFormat::float32(fromRate, 1), AudioFormat::float32(toRate, 1))[0];
        ASSERT_GT(reference.size(), 10000u);
        EXPECT_NEAR(kestro::test::dominantFrequency(std::span(reference).subspan(4096), toRate), 440, 5);
        for (const auto& from : {AudioFormat::float32(fromRate, 1), AudioFormat::int16(fromRate, 1),
                                 AudioFormat::float32(fromRate, 2, true), AudioFormat::float32(fromRate, 2, false),
                                 AudioFormat::int16(fromRate, 2, true), AudioFormat::int16(fromRate, 2, false),
                                 AudioFormat::float32(fromRate, 3, false)}) {
            for (const auto& to : {AudioFormat::float32(toRate, 1), AudioFormat::int16(toRate, 1),
                                   AudioFormat::float32(toRate, 2, false), AudioFormat::int16(toRate, 2, true),
                                   AudioFormat::int16(toRate, 2, false)}) {
                SCOPED_TRACE(std::to_string(from.channelCount) + " channels " +
                             (from.sampleFormat == platform::SampleFormat::int16 ? "int16 " : "float ") +
                             (from.isInterleaved() ? "interleaved" : "split") + " to " +
                             std::to_string(to.channelCount) + " channels " +
                             (to.sampleFormat == platform::SampleFormat::int16 ? "int16 " : "float ") +
                             (to.isInterleaved() ? "interleaved" : "split") + ", " + std::to_string(int(toRate)));
                const auto channels = resampledTone(from, to);
                for (const auto& channel : channels) {
                    ASSERT_EQ(channel.size(), reference.size());
                    float largest = 0;
                    for (std::size_t i = 0; i < channel.size(); ++i) {
                        largest = std::max(largest, std::abs(channel[i] - reference[i]));
                    }
                    // Two roundings to 16 bits at most.
                    EXPECT_LT(largest, 3.0f / 32768) << "channel differs from the mono float conversion";
                }
            }
        }
    }
}

}  // namespace
