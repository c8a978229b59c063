// How long a call's WebSocket takes to notice that its service is gone without a word: the
// loopback realtime service (tests/support) stops answering (its packets vanish: no message, no
// pong, no reset), or stops reading as well, at a moment unrelated to the connection's pings.
// The figure is the time from then until the connection's event stream ends with the silence
// error, with the limits a call's connection uses; the limit is that connection's silence limit.
// Each iteration is one connection, opened and left quiet (pinged and answered) for a while first.

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "measure.hpp"
#include "platform/runtime/task.hpp"
#include "realtime/transport/websocket_connection.hpp"
#include "realtime/transport/websocket_connector.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;

boost::asio::awaitable<bool> endsSilent(realtime::ServerEventStream events) {
    try {
        while (co_await events.next()) {
        }
    } catch (const realtime::detail::ConnectionSilentError&) {
        co_return true;
    } catch (...) {
    }
    co_return false;
}

void DeadConnectionDetection(benchmark::State& state) {
    const bool stopsReading = state.range(0) != 0;
    support::TestRuntime runtime;
    std::mt19937 random(37);
    const realtime::ConnectionRequest defaults;
    double total = 0;
    double shortest = 1e9;
    double longest = 0;
    std::int64_t detected = 0;
    for (auto _ : state) {
        support::RealtimeServer server;
        realtime::ConnectionRequest request;
        request.url = server.baseUrl() + "/v1/realtime";
        auto connector = std::make_unique<realtime::WebSocketConnector>(runtime.shared(), request);
        if (!server.waitForConnection()) {
            state.SkipWithError("the loopback service was not reached");
            return;
        }
        // Quiet but alive for a while, so that the loss falls anywhere between two pings.
        std::this_thread::sleep_for(std::chrono::milliseconds(3000 + random() % 2500));
        const auto lost = std::chrono::steady_clock::now();
        server.stopAnswering(true);
        if (stopsReading) server.pauseReading(true);
        const bool silent = runtime.run([events = connector->events()] { return endsSilent(events); }, 60s);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - lost).count();
        state.SetIterationTime(seconds);
        total += seconds;
        shortest = std::min(shortest, seconds);
        longest = std::max(longest, seconds);
        detected += silent ? 1 : 0;
        connector.reset();
    }
    const double limit = std::chrono::duration<double>(defaults.silenceLimit).count();
    state.counters["figure_s"] = total / static_cast<double>(state.iterations());
    state.counters["shortest_s"] = shortest;
    state.counters["longest_s"] = longest;
    state.counters["limit_s"] = limit;
    state.counters["ratio"] = total / static_cast<double>(state.iterations()) / limit;
    state.counters["ended_by_silence"] = static_cast<double>(detected) / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(DeadConnectionDetection)->Arg(0)->Arg(1)->Iterations(5)->UseManualTime()->Unit(benchmark::kSecond);
