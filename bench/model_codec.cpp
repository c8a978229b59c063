// One 64 KiB audio delta decoded from the service's text, against Boost.JSON's own parse of the
// same text and a base64 decode of its audio.

#include <cstdint>
#include <string>

#include "limits.hpp"
#include "measure.hpp"
#include "realtime/model/base64.hpp"
#include "realtime/model/codec.hpp"

namespace {

realtime::Bytes pcm(std::size_t size) {
    realtime::Bytes bytes(size);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(state >> 16);
    }
    return bytes;
}

std::string audioDelta(std::size_t audioBytes) {
    return R"({"type":"response.audio.delta","event_id":"event_C9G8DqgMh5Bbm3xiaJtXu",)"
           R"("response_id":"resp_C9G8C2bZbd7PgFmmPeQ8d","item_id":"item_C9G8Ce4LsWXZ1yMgCZ6mO",)"
           R"("output_index":0,"content_index":0,"delta":")" +
           realtime::base64Encode(pcm(audioBytes)) + R"("})";
}

void AudioDeltaDecode(benchmark::State& state) {
    const auto text = audioDelta(64 * 1024);
    double figure = 0;
    double limit = 0;
    for (auto _ : state) {
        const double piece = bench::measuredOnThisThread("figure", [&] {
            auto event = realtime::decodeServerEvent(text);
            benchmark::DoNotOptimize(event);
        });
        state.SetIterationTime(piece);
        figure += piece;
        limit += bench::measuredOnThisThread("limit", [&] {
            realtime::Bytes audio;
            benchmark::DoNotOptimize(bench::DeltaLimit::decode(text, audio));
        });
    }
    bench::report(state, figure, limit, double(state.iterations()), 1.5);
}
BENCHMARK(AudioDeltaDecode)->UseManualTime();

}  // namespace
