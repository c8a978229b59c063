// One microphone buffer (4096 frames of 48 kHz float) made into its "input_audio_buffer.append"
// frame as the capture path does (conversion to 24 kHz PCM16, the chunk, the event, its text),
// against soxr alone converting it, base64 and a frame put together by hand.

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "limits.hpp"
#include "measure.hpp"
#include "platform/audio/audio_converter.hpp"
#include "realtime/conversation/audio_conversion.hpp"
#include "realtime/conversation/conversation.hpp"
#include "realtime/model/base64.hpp"
#include "realtime/model/codec.hpp"

namespace {

void MicrophoneBufferToFrame(benchmark::State& state) {
    const auto wire = realtime::Conversation::desiredFormat();
    const auto buffer = bench::microphoneBuffer();
    auto converter = platform::AudioConverter::make(buffer->format(), wire);
    bench::MicrophoneLimit least;

    double figure = 0;
    double limit = 0;
    for (auto _ : state) {
        const double piece = bench::measuredOnThisThread("figure", [&] {
            auto converted = realtime::convertBuffer(buffer, *converter, 2048);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(converted->data());
            realtime::Bytes chunk(bytes, bytes + converted->byteSize());
            auto frame = realtime::encode(realtime::ClientEvent::appendInputAudioBuffer(std::nullopt, chunk));
            benchmark::DoNotOptimize(frame);
        });
        state.SetIterationTime(piece);
        figure += piece;
        limit += bench::measuredOnThisThread("limit", [&] {
            auto frame = least.frame(buffer->floatData());
            benchmark::DoNotOptimize(frame);
        });
    }
    bench::report(state, figure, limit, double(state.iterations()), 1.5);
}
BENCHMARK(MicrophoneBufferToFrame)->UseManualTime();

}  // namespace
