// What a real call costs on a real sound server, against what Debian's own PulseAudio clients
// spend on the same sound I/O in the same run.
//
// The call: a conversation made as the app makes it (the PulseAudio engine, a WebSocket to the
// loopback realtime service), listening from the start for `micSeconds`; `answerAt` seconds in,
// the service speaks an answer of `answerSeconds` at its real-time pace (100 ms deltas, +-30 ms),
// which the conversation plays; then the call ends (the conversation is dropped, its engine and
// threads go). The figure is the CPU time of every thread of the process from the call's start
// until its engine is gone, less the benchmark's own thread and the loopback service's thread.
//
// The limit, in the same run: `parec` capturing the same source in the same format for as long,
// handing its audio over in tap-sized pieces (4096 frames), and `pacat` playing the answer's
// length of audio in the player's format with the player's lead (80 ms), started as far into the
// capture as the answer. Their CPU times come from the kernel's account of each process.
//
// Printed per call: CPU seconds per call-minute and wake-ups per second of every thread (from
// /proc/self/task), those of parec and pacat, and figure / limit beside the ratio allowed (2).
// The sound server is the one PULSE_SERVER names, or a private one started here; without either
// the benchmark says why and skips.

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "measure.hpp"
#include "platform/audio/pulse_audio_engine.hpp"
#include "pulse_peers.hpp"
#include "realtime/conversation/conversation.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"
#include "thread_usage.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using bench::ProcessThreads;

constexpr double allowedRatio = 2;
constexpr auto answerAt = 3s;
constexpr std::uint32_t tapFrames = 4096;
constexpr int playerLeadMs = 80;

pid_t currentThread() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Which thread is which, by when it appeared.
struct ThreadRoles {
    pid_t benchmark = 0;
    pid_t main = 0;
    std::set<pid_t> shared;
    std::set<pid_t> service;

    std::string label(pid_t tid, const std::string& name, const std::vector<pid_t>& callThreads) const {
        if (tid == main) return "main executor";
        if (shared.count(tid)) return "shared executor";
        if (name == "kestro-pulse") return "engine: PulseAudio loop";
        // The engine makes its capture worker, then its callback worker (both after its loop):
        // the first two of the call's other threads.
        const auto at = std::find(callThreads.begin(), callThreads.end(), tid);
        if (at == callThreads.begin()) return "engine: capture worker";
        if (at == callThreads.begin() + 1) return "engine: callback worker";
        if (at != callThreads.end()) return "call: other (" + name + ")";
        return "other (" + name + ")";
    }
};

struct ThreadFigure {
    std::string label;
    pid_t tid;
    double cpuSeconds;
    std::uint64_t wakeUps;
};

struct CallFigures {
    double cpuSeconds = 0;  // all the app's threads, teardown included
    std::vector<ThreadFigure> threads;  // until just before the teardown
    std::uint64_t wakeUps = 0;
};

struct PeerFigures {
    double parecSeconds = 0;
    double pacatSeconds = 0;
    std::uint64_t parecWakeUps = 0;
    std::uint64_t pacatWakeUps = 0;
    bool ok = false;
};

double cpuOf(const ProcessThreads& threads, pid_t tid) {
    auto at = threads.find(tid);
    return at == threads.end() ? 0 : at->second.cpuSeconds;
}

bool anyAlive(const std::vector<pid_t>& tids) {
    const auto now = bench::processThreads();
    return std::any_of(tids.begin(), tids.end(), [&](pid_t tid) { return now.count(tid) > 0; });
}

class CallBench {
public:
    CallBench() {
        roles_.benchmark = currentThread();
        const auto before = bench::processThreads();
        runtime_ = std::make_unique<support::TestRuntime>();
        roles_.main = runtime_->onMain([] { return currentThread(); });
        for (const auto& [tid, usage] : bench::processThreads()) {
            if (!before.count(tid) && tid != roles_.main) roles_.shared.insert(tid);
        }
        const auto withRuntime = bench::processThreads();
        server_ = std::make_unique<support::RealtimeServer>(support::ServiceBehaviour::realTimePace(30ms));
        for (const auto& [tid, usage] : bench::processThreads()) {
            if (!withRuntime.count(tid)) roles_.service.insert(tid);
        }
        ::setenv("KESTRO_REALTIME_URL", server_->baseUrl().c_str(), 1);
    }
    ~CallBench() { ::unsetenv("KESTRO_REALTIME_URL"); }

    CallFigures call(std::chrono::seconds micSeconds, std::chrono::seconds answerSeconds) {
        ++calls_;
        server_->sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
        const auto start = bench::processThreads();
        const double processStart = bench::processCpu();
        const double benchmarkStart = bench::threadCpu();

        auto conversation = runtime_->onMain([&] {
            auto made = realtime::Conversation::create(runtime_->runtime(), "secret-token", "gpt-4o-realtime-preview");
            made->startListening();
            return made;
        });
        const auto listening = Clock::now();
        std::this_thread::sleep_until(listening + answerAt);
        auto answer = support::SpokenAnswer::lasting(answerSeconds);
        answer.itemId = "item_answer_" + std::to_string(calls_);
        answer.responseId = "resp_answer_" + std::to_string(calls_);
        server_->sendAnswer(answer);
        std::this_thread::sleep_until(listening + micSeconds);

        const auto beforeTeardown = bench::processThreads();
        std::vector<pid_t> engineThreads;  // the call's own threads, by age
        std::vector<pid_t> callThreads;   // the same but the PulseAudio loop
        for (const auto& [tid, usage] : beforeTeardown) {
            if (start.count(tid)) continue;
            engineThreads.push_back(tid);
            if (usage.name != "kestro-pulse") callThreads.push_back(tid);
        }
        runtime_->onMain([&] { conversation.reset(); });
        // The engine's threads end once its teardown on the shared executor has run.
        const auto deadline = Clock::now() + 10s;
        while (anyAlive(engineThreads) && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
        server_->waitForClientClose();
        const auto end = bench::processThreads();

        CallFigures figures;
        double serviceCpu = 0;
        for (pid_t tid : roles_.service) serviceCpu += cpuOf(end, tid) - cpuOf(start, tid);
        figures.cpuSeconds =
            bench::processCpu() - processStart - (bench::threadCpu() - benchmarkStart) - serviceCpu;
        for (const auto& [tid, usage] : beforeTeardown) {
            if (tid == roles_.benchmark || roles_.service.count(tid)) continue;
            const auto was = start.find(tid);
            const double cpu = usage.cpuSeconds - (was == start.end() ? 0 : was->second.cpuSeconds);
            const auto wakeUps = usage.voluntarySwitches - (was == start.end() ? 0 : was->second.voluntarySwitches);
            figures.threads.push_back({roles_.label(tid, usage.name, callThreads), tid, cpu, wakeUps});
            figures.wakeUps += wakeUps;
        }
        return figures;
    }

private:
    ThreadRoles roles_;
    std::unique_ptr<support::TestRuntime> runtime_;
    std::unique_ptr<support::RealtimeServer> server_;
    int calls_ = 0;
};

std::string sampleFormatName(const platform::AudioFormat& format) {
    return format.sampleFormat == platform::SampleFormat::int16 ? "s16le" : "float32le";
}

// The answer's length of a 440 Hz tone in the player's format (interleaved), for pacat.
std::string writeAnswerAudio(const platform::AudioFormat& format, std::chrono::seconds length) {
    char path[] = "/tmp/kestro-bench-answer-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) ::close(fd);
    std::ofstream out(path, std::ios::binary);
    const auto frames = static_cast<std::uint64_t>(format.sampleRate * double(length.count()));
    for (std::uint64_t frame = 0; frame < frames; ++frame) {
        const double value = 0.25 * std::sin(2 * M_PI * 440 * double(frame) / format.sampleRate);
        for (std::uint32_t channel = 0; channel < format.channelCount; ++channel) {
            if (format.sampleFormat == platform::SampleFormat::int16) {
                const auto sample = static_cast<std::int16_t>(std::lround(value * 32767));
                out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
            } else {
                const auto sample = static_cast<float>(value);
                out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
            }
        }
    }
    return path;
}

// parec for the call's length and pacat for the answer, on the same timeline as the call.
PeerFigures runPeers(const platform::AudioFormat& format, const std::string& answerFile, std::chrono::seconds micSeconds) {
    const std::vector<std::string> spec = {"--raw", "--format=" + sampleFormatName(format),
                                           "--rate=" + std::to_string(static_cast<int>(format.sampleRate)),
                                           "--channels=" + std::to_string(format.channelCount)};
    auto parecArgs = std::vector<std::string>{"parec"};
    parecArgs.insert(parecArgs.end(), spec.begin(), spec.end());
    parecArgs.push_back("--latency=" + std::to_string(tapFrames * format.bytesPerFrame()));
    auto pacatArgs = std::vector<std::string>{"pacat"};
    pacatArgs.insert(pacatArgs.end(), spec.begin(), spec.end());
    pacatArgs.push_back("--latency-msec=" + std::to_string(playerLeadMs));

    PeerFigures figures;
    const auto started = Clock::now();
    bench::Peer parec(parecArgs, "/dev/null", "/dev/null");
    std::this_thread::sleep_until(started + answerAt);
    bench::Peer pacat(pacatArgs, answerFile, "/dev/null");
    std::this_thread::sleep_until(started + micSeconds);
    const bool pacatOk = pacat.finish();
    const bool parecOk = parec.finish(SIGINT);
    figures.ok = parecOk && pacatOk;
    if (!parecOk) std::fprintf(stderr, "parec failed\n");
    if (!pacatOk) std::fprintf(stderr, "pacat failed\n");
    figures.parecSeconds = parec.cpuSeconds;
    figures.pacatSeconds = pacat.cpuSeconds;
    figures.parecWakeUps = parec.voluntarySwitches;
    figures.pacatWakeUps = pacat.voluntarySwitches;
    return figures;
}

void printCall(int index, const CallFigures& call, const PeerFigures& peers, double minutes, double seconds) {
    std::printf("\ncall %d: CPU s per call-minute and wake-ups per second, by thread\n", index);
    std::printf("  %-28s %8s %12s %12s\n", "thread", "tid", "cpu s/min", "wake-ups/s");
    for (const auto& thread : call.threads) {
        std::printf("  %-28s %8d %12.3f %12.1f\n", thread.label.c_str(), thread.tid, thread.cpuSeconds / minutes,
                    double(thread.wakeUps) / seconds);
    }
    std::printf("  %-28s %8s %12.3f %12.1f\n", "the call, teardown included", "", call.cpuSeconds / minutes,
                double(call.wakeUps) / seconds);
    std::printf("  %-28s %8s %12.3f %12.1f\n", "parec", "", peers.parecSeconds / minutes, double(peers.parecWakeUps) / seconds);
    std::printf("  %-28s %8s %12.3f %12.1f\n", "pacat", "", peers.pacatSeconds / minutes, double(peers.pacatWakeUps) / seconds);
    const double limit = peers.parecSeconds + peers.pacatSeconds;
    std::printf("  ratio %.2f (allowed %.0f)\n", limit > 0 ? call.cpuSeconds / limit : 0.0, allowedRatio);
    std::fflush(stdout);
}

void RealCallOnPulseAudio(benchmark::State& state) {
    const auto micSeconds = std::chrono::seconds(state.range(0));
    const auto answerSeconds = std::chrono::seconds(state.range(1));
    bench::SoundServer sound;
    if (!sound.available()) {
        std::fprintf(stderr, "RealCallOnPulseAudio skipped: %s\n", sound.reason().c_str());
        state.SkipWithError(("no sound server: " + sound.reason()).c_str());
        return;
    }
    if (!bench::succeeds("command -v parec") || !bench::succeeds("command -v pacat")) {
        state.SkipWithError("no parec or pacat to measure the limit (install pulseaudio-utils)");
        return;
    }
    const auto format = platform::PulseAudioEngine().inputFormat();
    const auto answerFile = writeAnswerAudio(format, answerSeconds);
    CallBench calls;
    // A first, unmeasured call loads what the process loads once (libraries, resampler tables).
    calls.call(answerAt + 2s, 1s);

    double figure = 0;
    double limit = 0;
    double parec = 0;
    double pacat = 0;
    std::uint64_t appWakeUps = 0;
    std::uint64_t peerWakeUps = 0;
    int index = 0;
    bool peersOk = true;
    for (auto _ : state) {
        const auto call = calls.call(micSeconds, answerSeconds);
        const auto peers = runPeers(format, answerFile, micSeconds);
        peersOk = peersOk && peers.ok;
        const double seconds = double(micSeconds.count());
        printCall(++index, call, peers, seconds / 60, seconds);
        figure += call.cpuSeconds;
        parec += peers.parecSeconds;
        pacat += peers.pacatSeconds;
        limit += peers.parecSeconds + peers.pacatSeconds;
        appWakeUps += call.wakeUps;
        peerWakeUps += peers.parecWakeUps + peers.pacatWakeUps;
        state.SetIterationTime(call.cpuSeconds);
    }
    std::remove(answerFile.c_str());
    if (!peersOk) state.SkipWithError("parec or pacat failed: the limit is not measured");
    const double minutes = double(micSeconds.count()) / 60 * double(index);
    const double seconds = double(micSeconds.count()) * double(index);
    state.counters["figure_cpu_s_per_call_minute"] = figure / minutes;
    state.counters["limit_cpu_s_per_call_minute"] = limit / minutes;
    state.counters["parec_cpu_s_per_call_minute"] = parec / minutes;
    state.counters["pacat_cpu_s_per_call_minute"] = pacat / minutes;
    state.counters["ratio"] = limit > 0 ? figure / limit : 0;
    state.counters["allowed_ratio"] = allowedRatio;
    state.counters["app_wakeups_per_s"] = double(appWakeUps) / seconds;
    state.counters["limit_wakeups_per_s"] = double(peerWakeUps) / seconds;
}
// Arguments: seconds of microphone, seconds of answer.
BENCHMARK(RealCallOnPulseAudio)->Args({20, 8})->Iterations(5)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
