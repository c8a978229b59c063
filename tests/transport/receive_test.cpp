#include <boost/beast/websocket/error.hpp>

#include <future>
#include <mutex>

#include "platform/runtime/print.hpp"
#include "realtime/model/decoding_error.hpp"
#include "support/realtime_events.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

class Receiving : public TransportTest {};

TEST_F(Receiving, FiveHundredEventsReachASlowConsumerInOrder) {
    for (int i = 0; i < 500; ++i) server.sendText(speechStarted(i));
    auto connector = connect();
    auto ids = rt.run([&, events = connector->events()]() mutable -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> ids;
        while (ids.size() < 500) {
            auto event = co_await events.next();
            if (!event) break;
            ids.push_back(event->id());
            if (ids.size() % 25 == 0) co_await platform::sleepFor(rt.shared(), 5ms);
        }
        co_return ids;
    }, 60s);
    ASSERT_EQ(ids.size(), 500u);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(ids[i], "e" + std::to_string(i));
}

TEST_F(Receiving, ABinaryMessageEndsTheIterationWhileTheConnectionStaysOpen) {
    server.sendText(speechStarted(1));
    server.sendBinary("\x01\x02");
    server.sendText(speechStarted(2));
    auto connector = connect();
    auto outcome = drainOnMain(connector->events());
    EXPECT_EQ(outcome.ids, std::vector<std::string>{"e1"});
    auto error = failureAs<realtime::RealtimeAPIError>(outcome);
    ASSERT_TRUE(error) << outcome.end;
    EXPECT_EQ(error->code, realtime::RealtimeAPIError::Code::invalidMessage);
    // The iteration has ended for good.
    EXPECT_EQ(drainOnMain(connector->events()).end, "end");

    // Still connected: nothing closed, and sends still reach the server.
    EXPECT_EQ(server.waitForClientClose(100ms), std::nullopt);
    rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer()); });
    EXPECT_TRUE(server.waitForFrames(1));
    connector.reset();
    EXPECT_EQ(server.waitForClientClose(), 1001);
}

TEST_F(Receiving, MalformedJsonEndsTheStreamWithTheDecodingErrorAndClosesWith1001) {
    server.sendText(speechStarted(1));
    server.sendText(R"({"type":"input_audio_buffer.speech_started", nope)");
    server.sendText(speechStarted(2));
    auto connector = connect();
    auto outcome = drainOnMain(connector->events());
    EXPECT_EQ(outcome.ids, std::vector<std::string>{"e1"});
    EXPECT_TRUE(failureAs<realtime::DecodingError>(outcome)) << outcome.end;
    EXPECT_EQ(server.waitForClientClose(), 1001);
}

TEST_F(Receiving, AnUnknownEventTypeIsSkippedAndReportedOncePerType) {
    std::mutex mutex;
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        printed.emplace_back(line);
    });
    server.sendText(R"({"type":"brand.new.event","event_id":"u1"})");
    server.sendText(speechStarted(1));
    server.sendText(R"({"type":"brand.new.event","event_id":"u2","extra":[1,2]})");
    server.sendText(R"({"type":"another.kind","event_id":"u3"})");
    server.sendText(speechStarted(2));
    auto connector = connect();
    auto outcome = drainOnMain(connector->events(), 2);
    EXPECT_EQ(outcome.ids, (std::vector<std::string>{"e1", "e2"}));
    EXPECT_EQ(outcome.end, "limit");
    std::lock_guard lock(mutex);
    EXPECT_EQ(printed, (std::vector<std::string>{"Unknown event type: brand.new.event",
                                                 "Unknown event type: another.kind"}));
}

TEST_F(Receiving, AnEventWithAnUnknownItemOrContentKindIsSkippedAndReportedOncePerKindOtherFailuresEndTheStream) {
    std::mutex mutex;
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        printed.emplace_back(line);
    });
    // A voice this client does not know is no reason to skip: the event arrives.
    auto session = support::realtimeSession(false);
    session["voice"] = "marin";
    auto updated = support::serverEvent("session.updated", {{"session", session}});
    updated["event_id"] = "s1";
    const std::string itemCreated = R"({"type":"conversation.item.created","event_id":"u","item":)";
    server.sendText(itemCreated + R"({"id":"i1","type":"mcp_call","server_label":"s"}})");
    server.sendText(speechStarted(1));
    server.sendText(itemCreated + R"({"id":"i2","type":"mcp_call"}})");
    server.sendText(updated.dump());
    server.sendText(itemCreated + R"({"id":"i3","type":"message","status":"completed","role":"user",)"
                                  R"("content":[{"type":"input_image","image_url":"u"}]}})");
    server.sendText(speechStarted(2));
    // A missing status is no unknown text: the stream ends here.
    server.sendText(itemCreated + R"({"id":"i4","type":"message","role":"user","content":[]}})");
    server.sendText(speechStarted(3));
    auto connector = connect();
    auto outcome = drainOnMain(connector->events());
    EXPECT_EQ(outcome.ids, (std::vector<std::string>{"e1", "s1", "e2"}));
    EXPECT_TRUE(failureAs<realtime::DecodingError>(outcome)) << outcome.end;
    EXPECT_EQ(server.waitForClientClose(), 1001);
    std::lock_guard lock(mutex);
    EXPECT_EQ(printed, (std::vector<std::string>{"Unknown item type: mcp_call", "Unknown content type: input_image"}));
}

TEST_F(Receiving, TheServiceClosingTheConnectionEndsTheStreamWithTheReceiveError) {
    server.sendText(speechStarted(1));
    server.close(1000);
    auto connector = connect();
    auto outcome = drainOnMain(connector->events());
    EXPECT_EQ(outcome.ids, std::vector<std::string>{"e1"});
    auto error = failureAs<boost::system::system_error>(outcome);
    ASSERT_TRUE(error) << outcome.end;
    EXPECT_EQ(error->code(), boost::beast::websocket::error::closed);
    // Sending on the closed connection fails back to the caller.
    EXPECT_THROW(rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer()); }),
                 boost::system::system_error);
}

TEST_F(Receiving, DestroyingTheConnectorWhileTheLoopWaitsClosesWith1001AndEndsNormally) {
    auto connector = connect();
    int disconnects = 0;
    connector->onDisconnect([&] { ++disconnects; });
    server.sendText(speechStarted(1));
    auto events = connector->events();
    EXPECT_EQ(drainOnMain(events, 1).ids, std::vector<std::string>{"e1"});
    auto rest = std::async(std::launch::async, [&] { return drainOnMain(events); });
    std::this_thread::sleep_for(20ms);  // the consumer now waits for a second event
    connector.reset();
    const auto outcome = rest.get();  // a consumer left waiting fails with TimedOut
    EXPECT_TRUE(outcome.ids.empty());
    EXPECT_EQ(outcome.end, "end");
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(server.waitForClientClose(), 1001);
}

}  // namespace
}  // namespace transport_test
