// How the connector's writer behaves once closing has begun: every queued send completes, with
// an error when its message was not written, and teardown ends even against a peer that stopped
// reading.

#include <boost/asio/io_context.hpp>

#include "realtime/model/decoding_error.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

class Closing : public TransportTest {
protected:
    // "sent", "aborted" (operation_aborted) or the error's text.
    static asio::awaitable<std::string> outcomeOfSend(asio::awaitable<void> send) {
        try {
            co_await std::move(send);
            co_return "sent";
        } catch (const boost::system::system_error& error) {
            co_return error.code() == boost::asio::error::operation_aborted ? "aborted" : error.what();
        }
    }
    std::string awaitSend(asio::awaitable<void> send, std::chrono::milliseconds limit = 10s) {
        auto pending = std::make_shared<asio::awaitable<void>>(std::move(send));
        return rt.run(rt.shared(), [pending] { return outcomeOfSend(std::move(*pending)); }, limit);
    }
};

TEST_F(Closing, ASendQueuedWhileOurClosingHandshakeIsUnansweredFailsAtOnce) {
    server.sendText(speechStarted(1));
    server.pauseReading(true);  // our close frame stays unanswered
    server.sendText(R"({"type":"input_audio_buffer.speech_started", nope)");
    auto connector = connect();
    int disconnects = 0;
    connector->onDisconnect([&] { ++disconnects; });
    auto outcome = drainOnMain(connector->events());
    EXPECT_EQ(outcome.ids, std::vector<std::string>{"e1"});
    EXPECT_TRUE(failureAs<realtime::DecodingError>(outcome)) << outcome.end;
    std::this_thread::sleep_for(20ms);  // the loop has sent its close frame by now

    // Well before the closing handshake's own limit.
    EXPECT_EQ(awaitSend(connector->send(realtime::ClientEvent::commitInputAudioBuffer("late")), 3s), "aborted");
    connector.reset();
    EXPECT_EQ(disconnects, 1);
    server.pauseReading(false);
    EXPECT_EQ(server.waitForClientClose(), 1001);
    EXPECT_TRUE(server.frames().empty());
}

TEST_F(Closing, TeardownEndsAWriteThePeerNeverTakes) {
    server.pauseReading(true);
    auto connector = connect();
    EXPECT_EQ(awaitSend(connector->send(realtime::ClientEvent::commitInputAudioBuffer("first"))), "sent");
    // Far more than the socket buffers hold: the write stalls while the server does not read.
    auto stalled = connector->send(realtime::ClientEvent::appendInputAudioBuffer("big", realtime::Bytes(16 << 20, 7)));
    std::this_thread::sleep_for(100ms);
    int disconnects = 0;
    connector->onDisconnect([&] { ++disconnects; });
    connector.reset();
    EXPECT_EQ(disconnects, 1);

    const auto result = awaitSend(std::move(stalled), 15s);
    EXPECT_NE(result, "sent");
    server.pauseReading(false);
    EXPECT_TRUE(server.waitForClientClose().has_value()) << "the connection is still open";
}

TEST_F(Closing, ASendWhoseMessageIsDroppedUnwrittenFails) {
    // A connector on an executor that never runs: its queued message goes with the executor.
    auto executor = std::make_unique<asio::io_context>();
    auto connector = std::make_unique<realtime::WebSocketConnector>(executor->get_executor(),
                                                                    request(server.baseUrl() + "/v1/realtime"));
    auto pending = connector->send(realtime::ClientEvent::commitInputAudioBuffer());
    connector.reset();
    executor.reset();
    EXPECT_EQ(awaitSend(std::move(pending)), "aborted");
}

}  // namespace
}  // namespace transport_test
