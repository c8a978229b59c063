// A connection whose service goes quiet: a service that still answers pings keeps it however long
// it says nothing, one that stops answering (its packets dropped on the way) or stops reading is
// given up after the silence limit, and the stream ends with the error that says so. What the
// connection still held to send is never sent.

#include "realtime/model/client_event.hpp"
#include "realtime/transport/websocket_connection.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

class Liveness : public TransportTest {
protected:
    static constexpr auto silenceLimit = 1500ms;

    std::unique_ptr<realtime::WebSocketConnector> connectWatched() {
        auto watched = request(server.baseUrl() + "/v1/realtime?model=m");
        watched.silenceLimit = silenceLimit;
        watched.pingAfter = 300ms;
        return std::make_unique<realtime::WebSocketConnector>(rt.shared(), watched);
    }

    // Drains the stream on the main executor until it ends; returns the outcome and how long the
    // stream lasted after `from`.
    std::pair<Outcome, std::chrono::steady_clock::duration> lastingFrom(std::chrono::steady_clock::time_point from,
                                                                        realtime::ServerEventStream events) {
        auto outcome = rt.run([events] { return drain(events); }, 30s);
        return {outcome, std::chrono::steady_clock::now() - from};
    }
};

TEST_F(Liveness, PongsKeepAQuietServiceAndASilentOneIsGivenUpWithinTheLimit) {
    server.sendText(speechStarted(1));
    auto connector = connectWatched();
    ASSERT_TRUE(server.waitForConnection());
    // Three limits without a message: the service's pongs are enough.
    std::this_thread::sleep_for(3 * silenceLimit);
    server.sendText(speechStarted(2));
    ASSERT_TRUE(server.waitForSent("input_audio_buffer.speech_started"));
    ASSERT_TRUE(support::eventually([&] { return server.sent().size() == 2; }));

    const auto silent = std::chrono::steady_clock::now();
    server.stopAnswering(true);
    const auto [outcome, lasted] = lastingFrom(silent, connector->events());
    EXPECT_EQ(outcome.ids, (std::vector<std::string>{"e1", "e2"}));
    ASSERT_TRUE(failureAs<realtime::detail::ConnectionSilentError>(outcome)) << outcome.end;
    EXPECT_EQ(outcome.end, "Nothing was heard from the realtime service for 1.5 s: the connection is lost");
    EXPECT_GE(lasted, silenceLimit);
    // Generous: the measured figure is in docs/performance.md.
    EXPECT_LT(lasted, 3 * silenceLimit);

    // The socket is shut at once (no closing handshake to wait for), and later sends fail.
    EXPECT_TRUE(server.waitForClientClose(2s).has_value());
    EXPECT_THROW(rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer()); }),
                 std::exception);
    int disconnects = 0;
    connector->onDisconnect([&] { ++disconnects; });
    connector.reset();
    EXPECT_EQ(disconnects, 1);
}

TEST_F(Liveness, AServiceThatStopsReadingIsGivenUpAndWhatWasQueuedNeverLeaves) {
    server.pauseReading(true);  // before its first read, which would take a whole message
    auto connector = connectWatched();
    ASSERT_TRUE(server.waitForConnection());
    // Far more than the socket buffers hold: writes stall behind it.
    auto stalled = connector->send(realtime::ClientEvent::appendInputAudioBuffer(std::nullopt, realtime::Bytes(4 << 20, 7)));
    auto queued = connector->send(realtime::ClientEvent::commitInputAudioBuffer("queued"));

    const auto start = std::chrono::steady_clock::now();
    const auto [outcome, lasted] = lastingFrom(start, connector->events());
    ASSERT_TRUE(failureAs<realtime::detail::ConnectionSilentError>(outcome)) << outcome.end;
    EXPECT_LT(lasted, 3 * silenceLimit);
    auto outcomeOf = [&](asio::awaitable<void>& send) {
        auto pending = std::make_shared<asio::awaitable<void>>(std::move(send));
        return rt.run(rt.shared(), [pending]() -> asio::awaitable<bool> {
            try {
                co_await std::move(*pending);
                co_return true;
            } catch (const std::exception&) {
                co_return false;
            }
        });
    };
    EXPECT_FALSE(outcomeOf(stalled));
    EXPECT_FALSE(outcomeOf(queued));

    // The connection was reset: reading again, the service finds only what had reached it before.
    const auto reached = server.unreadBytes();
    server.pauseReading(false);
    EXPECT_TRUE(server.waitForClientClose(2s).has_value());
    std::size_t read = 0;
    for (const auto& frame : server.frames()) read += frame.data.size();
    EXPECT_LE(read, reached);
    EXPECT_EQ(realtime::WebSocketConnector::openConnections(), 1u);  // this connector's, until it goes
    connector.reset();
    EXPECT_TRUE(support::eventually([] { return realtime::WebSocketConnector::openConnections() == 0; }, 2s));
}

}  // namespace
}  // namespace transport_test
