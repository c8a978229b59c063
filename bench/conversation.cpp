// What a conversation costs: one 64 KiB audio delta from its text to a buffer scheduled on the
// player, and a whole simulated call, in CPU time of all the application's threads, each against
// the least work the same audio needs (bench/limits.hpp).
//
// The connector here stands in for the WebSocket: it decodes the service's JSON text into events
// and encodes every client event to its JSON text, as the real one does, but has no socket.

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "limits.hpp"
#include "measure.hpp"
#include "platform/audio/fake_audio_engine.hpp"
#include "realtime/conversation/conversation.hpp"
#include "realtime/model/base64.hpp"
#include "realtime/model/codec.hpp"
#include "support/engine_probe.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;
using realtime::Conversation;

class BenchConnector : public realtime::Connector {
public:
    BenchConnector() {
        auto [stream, continuation] = realtime::ServerEventStream::make();
        stream_.emplace(std::move(stream));
        continuation_.emplace(std::move(continuation));
    }
    ~BenchConnector() override { continuation_->finish(); }

    realtime::ServerEventStream events() const override { return *stream_; }
    realtime::DisconnectHandler onDisconnect() const override { return {}; }
    void onDisconnect(realtime::DisconnectHandler) override {}
    boost::asio::awaitable<void> send(const realtime::ClientEvent& event) override {
        auto frame = realtime::encode(event);
        bytesSent += frame.size();
        ++framesSent;
        return done();
    }

    // One text message of the service's.
    void receive(const std::string& text) {
        if (!accountReceiving) {
            continuation_->yield(realtime::decodeServerEvent(text));
            return;
        }
        // The caller leaves its own work out of the count; this is the connector's.
        const bool counting = RUNNING_ON_VALGRIND;
        if (counting) CALLGRIND_TOGGLE_COLLECT;
        const double start = bench::threadCpu();
        continuation_->yield(realtime::decodeServerEvent(text));
        receivingCpu += bench::threadCpu() - start;
        if (counting) CALLGRIND_TOGGLE_COLLECT;
    }

    // Whether receive() counts its CPU time (and, under callgrind, its instructions) on its own.
    bool accountReceiving = false;
    double receivingCpu = 0;

    std::atomic<std::uint64_t> framesSent = 0;
    std::atomic<std::uint64_t> bytesSent = 0;

private:
    static boost::asio::awaitable<void> done() { co_return; }

    std::optional<realtime::ServerEventStream> stream_;
    std::optional<realtime::ServerEventStream::Continuation> continuation_;
};

realtime::Bytes wireAudio(std::size_t bytes) {
    realtime::Bytes audio(bytes);
    for (std::size_t i = 0; i < bytes; ++i) audio[i] = static_cast<std::uint8_t>((i * 37) ^ (i >> 7));
    return audio;
}

std::string jsonEvent(const std::string& type, const std::string& fields) {
    static std::uint64_t next = 0;
    return R"({"type":")" + type + R"(","event_id":"event_)" + std::to_string(++next) + "\"" +
           (fields.empty() ? "" : "," + fields) + "}";
}

std::string partFields(const std::string& itemId) {
    return R"("response_id":"resp_1","item_id":")" + itemId + R"(","output_index":0,"content_index":0)";
}

std::string sessionCreated() {
    return jsonEvent("session.created",
                     R"("session":{"id":"sess_1","model":"gpt-4o-realtime-preview","modalities":["text","audio"],)"
                     R"("instructions":"Be brief.","voice":"alloy","input_audio_format":"pcm16",)"
                     R"("output_audio_format":"pcm16","tools":[],"tool_choice":"auto","temperature":0.8})");
}

std::string assistantItem(const std::string& itemId, const std::string& content) {
    return R"({"id":")" + itemId + R"(","type":"message","status":"in_progress","role":"assistant","content":)" +
           content + "}";
}

// A conversation with voice on, over a BenchConnector and a FakeAudioEngine.
struct Call {
    support::TestRuntime runtime;
    std::shared_ptr<platform::FakeAudioEngine> engine = std::make_shared<platform::FakeAudioEngine>();
    std::shared_ptr<support::EngineProbe> probe = std::make_shared<support::EngineProbe>(engine);
    std::shared_ptr<BenchConnector> connector = std::make_shared<BenchConnector>();
    std::shared_ptr<Conversation> conversation;

    Call() {
        conversation = runtime.onMain([&] { return Conversation::create(runtime.runtime(), connector, probe); });
        connector->receive(sessionCreated());
        runtime.onMain([&] { conversation->startListening(); });
        engine->waitForTap();
    }
    ~Call() {
        runtime.onMain([&] { conversation.reset(); });
    }

    // Waits until the events received so far have been handled.
    void settle() {
        static int marker = 0;
        const auto id = "marker_" + std::to_string(++marker);
        connector->receive(jsonEvent("conversation.created", R"("conversation":{"id":")" + id + "\"}"));
        support::eventually([&] { return runtime.onMain([&] { return conversation->id().get() == id; }); });
    }
};

// Frames scheduled on the conversation's player so far, read without a hop to the main thread.
std::uint64_t scheduledFrames(const Call& call) {
    auto player = call.probe->player();
    return player ? call.engine->scheduledFrames(*player) : 0;
}

// One 64 KiB delta from the text message (decoded where the connector decodes it, here on the
// calling thread) to the buffer scheduled on the player: decoding, the append to the stored item,
// conversion to the player's format and scheduling. The waiting thread's own CPU is left out.
void AudioDeltaToScheduledBuffer(benchmark::State& state) {
    Call call;
    call.connector->receive(jsonEvent("conversation.item.created",
                                      R"("item":)" + assistantItem("item_1", R"([{"type":"audio","transcript":null}])")));
    const auto delta = jsonEvent("response.audio.delta", partFields("item_1") + R"(,"delta":")" +
                                                             realtime::base64Encode(wireAudio(64 * 1024)) + "\"");
    call.settle();
    const auto output = call.probe->player()->outputFormat();
    bench::DeltaLimit least(output.sampleRate, output.channelCount);
    double figure = 0;
    double limit = 0;
    int scheduled = 0;
    for (auto _ : state) {
        const auto before = scheduledFrames(call);
        const double piece = bench::measured("figure", [&] {
            const double start = bench::processCpu();
            call.connector->receive(delta);
            const double waitStart = bench::threadCpu();
            while (scheduledFrames(call) == before) std::this_thread::sleep_for(100us);
            return bench::processCpu() - start - (bench::threadCpu() - waitStart);
        });
        state.SetIterationTime(piece);
        figure += piece;
        limit += bench::measuredOnThisThread("limit", [&] { benchmark::DoNotOptimize(least.play(delta)); });
        if (++scheduled == 64) {
            // Play what is queued, so that the player's queue stays short.
            state.PauseTiming();
            call.engine->render(1u << 30);
            support::eventually([&] { return call.runtime.onMain([&] { return call.conversation->queuedSamples().empty(); }); });
            scheduled = 0;
            state.ResumeTiming();
        }
    }
    bench::report(state, figure, limit, double(state.iterations()));
}
BENCHMARK(AudioDeltaToScheduledBuffer)->UseManualTime();

// A ten-minute call played at twenty times its speed: the microphone streams all along; in every
// twenty seconds the user speaks for eight and the model answers for ten, in 200 ms audio deltas
// with a transcript word each, with the events the service sends around them. The engine renders
// the call's time as it passes. The figure is the CPU time of the application's threads; the limit
// is the least work for the same audio (every microphone buffer and every delta through bench/limits.hpp),
// measured after the call in the same run.
constexpr int callSeconds = 600;

struct CallCounts {
    std::uint64_t microphoneBuffers = 0;
    std::uint64_t deltas = 0;
    std::string delta;  // the last audio delta's text
};

void playCall(Call& call, const std::shared_ptr<platform::PcmBuffer>& microphone, CallCounts& counts) {
    constexpr double speed = 20;
    constexpr int stepMs = 10;
    const auto deltaAudio = realtime::base64Encode(wireAudio(9600));
    std::uint64_t microphoneFrames = 0;
    int turn = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int ms = 0; ms < callSeconds * 1000; ms += stepMs) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(std::int64_t(ms * 1000 / speed)));
        // Microphone: one 4096-frame buffer whenever that much time has passed.
        microphoneFrames += 48000 * stepMs / 1000;
        while (microphoneFrames >= 4096) {
            microphoneFrames -= 4096;
            call.engine->pushInput(microphone);
            ++counts.microphoneBuffers;
        }
        call.engine->render(48000 * stepMs / 1000);

        // The service's side of one twenty-second turn.
        const int inTurn = ms % 20000;
        const auto user = "user_" + std::to_string(turn);
        const auto item = "answer_" + std::to_string(turn);
        auto& connector = *call.connector;
        if (inTurn == 0) {
            connector.receive(jsonEvent("input_audio_buffer.speech_started",
                                        R"("audio_start_ms":)" + std::to_string(ms) + R"(,"item_id":")" + user + "\""));
        } else if (inTurn == 8000) {
            connector.receive(jsonEvent("input_audio_buffer.speech_stopped",
                                        R"("audio_end_ms":)" + std::to_string(ms) + R"(,"item_id":")" + user + "\""));
            connector.receive(jsonEvent("input_audio_buffer.committed", R"("item_id":")" + user + "\""));
            connector.receive(jsonEvent(
                "conversation.item.created",
                R"("item":{"id":")" + user +
                    R"(","type":"message","status":"completed","role":"user","content":[{"type":"input_audio","transcript":null}]})"));
            connector.receive(jsonEvent("response.created", R"("response":{"id":"resp_1","status":"in_progress","output":[]})"));
            connector.receive(jsonEvent("conversation.item.created", R"("item":)" + assistantItem(item, "[]")));
            connector.receive(jsonEvent("response.content_part.added", partFields(item) + R"(,"part":{"type":"audio","transcript":""})"));
        } else if (inTurn == 9000) {
            connector.receive(jsonEvent("conversation.item.input_audio_transcription.completed",
                                        R"("item_id":")" + user +
                                            R"(","content_index":0,"transcript":"Could you tell me something about the weather today?")"));
        } else if (inTurn > 8000 && inTurn <= 18000 && inTurn % 200 == 0) {
            connector.receive(jsonEvent("response.audio_transcript.delta", partFields(item) + R"(,"delta":"word ")"));
            counts.delta = jsonEvent("response.audio.delta", partFields(item) + R"(,"delta":")" + deltaAudio + "\"");
            connector.receive(counts.delta);
            ++counts.deltas;
        } else if (inTurn == 18100) {
            connector.receive(jsonEvent("response.audio.done", partFields(item)));
            connector.receive(jsonEvent("response.audio_transcript.done", partFields(item) + R"(,"transcript":"word word")"));
            connector.receive(jsonEvent("response.done", R"("response":{"id":"resp_1","status":"completed","output":[]})"));
            connector.receive(jsonEvent("rate_limits.updated",
                                        R"("rate_limits":[{"name":"tokens","limit":1000,"remaining":900,"reset_seconds":1.5}])"));
            ++turn;
        }
    }
    call.settle();
}

void SimulatedTenMinuteCall(benchmark::State& state) {
    const auto microphone = bench::microphoneBuffer();
    for (auto _ : state) {
        Call call;
        CallCounts counts;
        // Every thread's work but the driving thread's own (pacing, the fake engine's rendering,
        // writing the service's texts); its decoding, done for the connector, is counted.
        const double figure = bench::measured("figure", [&] {
            const bool counting = RUNNING_ON_VALGRIND;
            if (counting) CALLGRIND_TOGGLE_COLLECT;
            call.connector->accountReceiving = true;
            const double start = bench::processCpu();
            const double driverStart = bench::threadCpu();
            playCall(call, microphone, counts);
            const double driver = bench::threadCpu() - driverStart;
            const double all = bench::processCpu() - start;
            call.connector->accountReceiving = false;
            if (counting) CALLGRIND_TOGGLE_COLLECT;
            return all - driver + call.connector->receivingCpu;
        });
        const auto output = call.probe->player()->outputFormat();
        const double limit = bench::measuredOnThisThread("limit", [&] {
            bench::MicrophoneLimit microphoneLimit;
            bench::DeltaLimit deltaLimit(output.sampleRate, output.channelCount);
            for (std::uint64_t i = 0; i < counts.microphoneBuffers; ++i) {
                benchmark::DoNotOptimize(microphoneLimit.frame(microphone->floatData()));
            }
            for (std::uint64_t i = 0; i < counts.deltas; ++i) benchmark::DoNotOptimize(deltaLimit.play(counts.delta));
        });
        const double minutes = callSeconds / 60.0;
        state.counters["figure_cpu_ms_per_call_minute"] = figure / minutes * 1e3;
        state.counters["limit_cpu_ms_per_call_minute"] = limit / minutes * 1e3;
        state.counters["ratio"] = figure / limit;
        state.counters["allowed_ratio"] = 1.3;
        state.counters["peak_rss_MiB"] = bench::peakResidentMiB();
        state.counters["frames_sent"] = double(call.connector->framesSent.load());
    }
}
BENCHMARK(SimulatedTenMinuteCall)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
