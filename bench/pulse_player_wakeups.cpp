// How often the PulseAudio player wakes the engine's sound thread, beside the same engine without
// the player's stream (the capture stream wakes it too): idle and paused, playing one long buffer
// right after a pause, and playing an answer fed at its pace. Each figure is the sound thread's
// extra wake-ups in one second, printed beside the most it is allowed. A loaded machine wakes a
// thread more often than an idle one, so these are measured here rather than held to in a test.
//
// The sound server is the one PULSE_SERVER names, or a private one started here; without either
// the benchmark says why and skips.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/audio/pulse_audio_engine.hpp"
#include "pulse_peers.hpp"
#include "support/audio_signals.hpp"

namespace {

using namespace std::chrono_literals;
using platform::AudioFormat;
using platform::PulseAudioEngine;
using Clock = std::chrono::steady_clock;

// The voluntary context switches of this process's thread named `name` (each is a sleep, so each
// wake-up follows one), or -1 when there is no such thread.
long long sleepsOfThread(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string threadName;
        if (!std::getline(comm, threadName) || threadName != name) continue;
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stoll(line.substr(24));
        }
    }
    return -1;
}

long long loopWakeUpsInASecond() {
    const auto before = sleepsOfThread("kestro-pulse");
    std::this_thread::sleep_for(1s);
    return sleepsOfThread("kestro-pulse") - before;
}

enum class Situation { idle, resumed, pacedAnswer };

// One measurement: the sound thread's wake-ups in a second with the player as the situation has
// it, less those in a second once the player's stream is gone.
long long extraWakeUps(Situation situation) {
    const auto out = AudioFormat::float32(48000, 1);
    PulseAudioEngine engine;
    std::shared_ptr<platform::PlayerNode> node = engine.makePlayerNode();
    engine.attach(node);
    engine.connect(node, out);
    engine.start();
    std::thread feeder;
    if (situation == Situation::idle) {
        // It has played something and settled.
        std::atomic<bool> done{false};
        node->scheduleBuffer(kestro::test::makeSine(out, 2400, 300), [&done] { done = true; });
        node->play();
        const auto deadline = Clock::now() + 5s;
        while (!done && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
        node->pause();
        std::this_thread::sleep_for(200ms);
    } else if (situation == Situation::resumed) {
        // Resumed before the paused position could settle.
        node->scheduleBuffer(kestro::test::makeSine(out, 48000 * 4, 300), [] {});
        node->play();
        std::this_thread::sleep_for(300ms);
        node->pause();
        node->play();
        std::this_thread::sleep_for(200ms);
    } else {
        // A lead of two buffers, then one more every 100 ms from another thread, as deltas come.
        node->scheduleBuffer(kestro::test::makeSine(out, 4800, 300, 0.5, 0), [] {});
        node->scheduleBuffer(kestro::test::makeSine(out, 4800, 300, 0.5, 4800), [] {});
        node->play();
        const auto started = Clock::now();
        feeder = std::thread([node, out, started] {
            for (int i = 2; i < 25; ++i) {
                std::this_thread::sleep_until(started + (i - 1) * 100ms);
                node->scheduleBuffer(kestro::test::makeSine(out, 4800, 300, 0.5, uint64_t(i) * 4800), [] {});
            }
        });
        std::this_thread::sleep_for(500ms);
    }
    const auto withPlayer = loopWakeUpsInASecond();
    if (feeder.joinable()) feeder.join();
    engine.disconnectNodeOutput(*node);
    std::this_thread::sleep_for(200ms);
    const auto withoutPlayer = loopWakeUpsInASecond();
    return withPlayer - withoutPlayer;
}

// The most extra wake-ups a second allowed: a poll of an idle player every 10 ms would add a
// hundred; two round trips every 10 ms while playing two hundred; a round trip after every write
// of an answer (a trigger) a reply for each of the server's requests, about 100 in all.
long long allowedFor(Situation situation) {
    switch (situation) {
        case Situation::idle: return 50;
        case Situation::resumed: return 150;
        case Situation::pacedAnswer: return 85;
    }
    return 0;
}

void PulsePlayerWakeUps(benchmark::State& state) {
    bench::SoundServer sound;
    if (!sound.available()) {
        std::fprintf(stderr, "PulsePlayerWakeUps skipped: %s\n", sound.reason().c_str());
        state.SkipWithError(("no sound server: " + sound.reason()).c_str());
        return;
    }
    const auto situation = static_cast<Situation>(state.range(0));
    long long total = 0;
    long long most = 0;
    int runs = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto extra = extraWakeUps(situation);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        total += extra;
        most = std::max(most, extra);
        ++runs;
    }
    state.counters["extra_wakeups_per_s"] = runs > 0 ? double(total) / runs : 0;
    state.counters["most_extra_wakeups_per_s"] = double(most);
    state.counters["allowed_extra_wakeups_per_s"] = double(allowedFor(situation));
}
// Arguments: 0 idle and paused, 1 resumed right after a pause, 2 an answer fed at its pace.
BENCHMARK(PulsePlayerWakeUps)->Arg(0)->Arg(1)->Arg(2)->Iterations(3)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
