// Cost of converting one microphone buffer (4096 frames of 48 kHz float) to the wire format
// (24 kHz mono PCM16), as the capture path does for every tap buffer.

#include <benchmark/benchmark.h>

#include "platform/audio/audio_converter.hpp"
#include "support/audio_signals.hpp"

namespace {

using platform::AudioConverter;
using platform::AudioFormat;

void convertMicrophoneBuffer(benchmark::State& state, const AudioFormat& mic) {
    const auto wire = AudioFormat::int16(24000, 1);
    auto converter = AudioConverter::make(mic, wire);
    auto input = kestro::test::makeSine(mic, 4096, 440);
    const auto capacity = static_cast<uint32_t>(4096 * wire.sampleRate / mic.sampleRate);
    uint64_t frames = 0;
    for (auto _ : state) {
        auto output = platform::PcmBuffer::make(wire, capacity);
        bool given = false;
        converter->convert(*output, [&](uint32_t, AudioConverter::InputStatus& status) -> std::shared_ptr<const platform::PcmBuffer> {
            status = given ? AudioConverter::InputStatus::noDataNow : AudioConverter::InputStatus::haveData;
            auto result = given ? nullptr : input;
            given = true;
            return result;
        });
        frames += output->frameLength();
        benchmark::DoNotOptimize(output->data());
    }
    state.counters["out_frames_per_s"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(state.iterations());
}

void BM_ConvertMono48kFloatToWire(benchmark::State& state) {
    convertMicrophoneBuffer(state, AudioFormat::float32(48000, 1));
}
BENCHMARK(BM_ConvertMono48kFloatToWire);

void BM_ConvertStereo48kFloatInterleavedToWire(benchmark::State& state) {
    convertMicrophoneBuffer(state, AudioFormat::float32(48000, 2, true));
}
BENCHMARK(BM_ConvertStereo48kFloatInterleavedToWire);

void BM_ConvertMono44kFloatToWire(benchmark::State& state) {
    convertMicrophoneBuffer(state, AudioFormat::float32(44100, 1));
}
BENCHMARK(BM_ConvertMono44kFloatToWire);

}  // namespace
