// Throughput of the realtime model's codec on its two hot paths: the service's audio deltas and
// the microphone chunks sent as "input_audio_buffer.append". Bytes processed are audio bytes.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

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

void decodeAudioDelta(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto text = audioDelta(size);
    for (auto _ : state) {
        auto event = realtime::decodeServerEvent(text);
        benchmark::DoNotOptimize(event);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
    state.counters["json_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(decodeAudioDelta)->Arg(64 * 1024);

void encodeAppend(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto audio = pcm(size);
    for (auto _ : state) {
        auto text = realtime::encode(realtime::ClientEvent::appendInputAudioBuffer(std::nullopt, audio));
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(encodeAppend)->Arg(4096);

void base64DecodeOnly(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto text = realtime::base64Encode(pcm(size));
    for (auto _ : state) {
        auto bytes = realtime::base64Decode(text);
        benchmark::DoNotOptimize(bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(base64DecodeOnly)->Arg(64 * 1024);

}  // namespace
