#pragma once
// Shared pieces of the transport tests: a runtime, a loopback realtime server and helpers that
// drain a connector's event stream.

#include <gtest/gtest.h>

#include <boost/asio/awaitable.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/task.hpp"
#include "realtime/transport/websocket_connector.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace transport_test {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// A known server event whose event_id is "e<n>".
inline std::string speechStarted(int n) {
    return R"({"type":"input_audio_buffer.speech_started","event_id":"e)" + std::to_string(n) +
           R"(","audio_start_ms":)" + std::to_string(n) + R"(,"item_id":"item"})";
}

// What a consumer saw: the event ids in order, then "end" for a normal end or the failure.
struct Outcome {
    std::vector<std::string> ids;
    std::string end;
    std::exception_ptr failure;
};

inline asio::awaitable<Outcome> drain(realtime::ServerEventStream events, std::size_t limit = SIZE_MAX) {
    Outcome outcome;
    try {
        while (outcome.ids.size() < limit) {
            auto event = co_await events.next();
            if (!event) {
                outcome.end = "end";
                co_return outcome;
            }
            outcome.ids.push_back(event->id());
        }
        outcome.end = "limit";
    } catch (const std::exception& error) {
        outcome.end = error.what();
        outcome.failure = std::current_exception();
    }
    co_return outcome;
}

// The failure that ended the stream, if it was an E.
template <class E>
std::optional<E> failureAs(const Outcome& outcome) {
    if (!outcome.failure) return std::nullopt;
    try {
        std::rethrow_exception(outcome.failure);
    } catch (const E& error) {
        return error;
    } catch (...) {
    }
    return std::nullopt;
}

class TransportTest : public ::testing::Test {
protected:
    explicit TransportTest(support::RealtimeServer::Security security = support::RealtimeServer::Security::plain)
        : server(security) {}

    realtime::ConnectionRequest request(const std::string& url) const {
        return realtime::ConnectionRequest{.url = url, .headers = {{"Authorization", "Bearer test"}}, .timeout = 60s};
    }

    std::unique_ptr<realtime::WebSocketConnector> connect() {
        return std::make_unique<realtime::WebSocketConnector>(rt.shared(),
                                                              request(server.baseUrl() + "/v1/realtime?model=m"));
    }

    Outcome drainOnMain(realtime::ServerEventStream events, std::size_t limit = SIZE_MAX) {
        return rt.run([events, limit] { return drain(events, limit); });
    }
    // What a consumer sees of a connection to `url`.
    Outcome outcomeOf(const std::string& url, std::size_t limit = SIZE_MAX) {
        realtime::WebSocketConnector connector(rt.shared(), request(url));
        return drainOnMain(connector.events(), limit);
    }

    support::TestRuntime rt;
    support::RealtimeServer server;
};

}  // namespace transport_test
