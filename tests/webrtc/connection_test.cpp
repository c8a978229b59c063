
#include <boost/asio/ip/tcp.hpp>

#include "audio-pulse/pulse_fixture.hpp"
#include "realtime/model/decoding_error.hpp"
#include "support/json.hpp"
#include "support/newer_service.hpp"
#include "webrtc_fixture.hpp"

namespace webrtc_test {
namespace {

using realtime::WebRTCConnector;

// The media section of `sdp` that starts with `prefix` ("m=audio"), up to the next section.
std::string section(const std::string& sdp, const std::string& prefix) {
    auto start = sdp.find("\r\n" + prefix);
    if (start == std::string::npos) return {};
    auto end = sdp.find("\r\nm=", start + 2);
    return sdp.substr(start + 2, end == std::string::npos ? std::string::npos : end - start - 2);
}

TEST_F(WebRTCTest, ConnectsOverLoopbackCarriesEventsBothWaysAndClosesOnTeardown) {
    AnsweringPeer peer;
    answerThrough(peer);
    auto connector = connect();
    ASSERT_TRUE(connector);

    // The offer went as the body of the prepared request, which kept its method and headers.
    auto offers = server.requestsTo(std::string(offerPath) + "?model=m");
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].method, "POST");
    EXPECT_EQ(offers[0].header("Authorization"), "Bearer test");
    EXPECT_EQ(offers[0].header("Content-Type"), "application/sdp");
    const auto audio = section(offers[0].body, "m=audio");
    EXPECT_NE(audio.find("OPUS/48000"), std::string::npos) << offers[0].body;
    EXPECT_NE(audio.find("a=sendrecv"), std::string::npos) << audio;
    EXPECT_NE(audio.find(" msid:stream0 audio0\r\n"), std::string::npos) << audio;
    EXPECT_NE(section(offers[0].body, "m=application").find("webrtc-datachannel"), std::string::npos)
        << offers[0].body;

    ASSERT_TRUE(peer.waitForChannelOpen());
    EXPECT_EQ(peer.channelLabel(), "oai-events");
    ASSERT_TRUE(waitForLine("Data channel opened."));

    // Whatever the binary flag says, each message is one server event.
    ASSERT_TRUE(peer.sendBinary(speechStarted("binary")));
    ASSERT_TRUE(peer.sendText(speechStarted("text")));
    auto received = drainOnMain(connector->events(), 2);
    EXPECT_EQ(received.ids, (std::vector<std::string>{"binary", "text"}));

    // Each sent event is one text message holding one JSON object.
    for (auto id : {"s1", "s2", "s3"}) {
        rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer(id)); });
    }
    ASSERT_TRUE(peer.waitForMessages(3));
    auto messages = peer.messages();
    ASSERT_EQ(messages.size(), 3u);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_FALSE(messages[i].binary);
        auto json = support::Json::parse(messages[i].data);
        EXPECT_EQ(json["type"], "input_audio_buffer.commit");
        EXPECT_EQ(json["event_id"], "s" + std::to_string(i + 1));
    }

    // The other side's audio reached a linked branch.
    EXPECT_TRUE(waitForLine("Media stream added."));

    int disconnects = 0;
    connector->onDisconnect([&] { ++disconnects; });
    auto events = connector->events();
    connector.reset();
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(drainOnMain(events).end, "end");
    EXPECT_TRUE(peer.waitForChannelClosed());

    for (auto line : {"ICE gathering state changed to gathering", "ICE gathering state changed to complete",
                      "Connection state changed to have-local-offer", "Connection state changed to stable",
                      "Negotiating connection.", "ICE candidate generated."}) {
        EXPECT_TRUE(printed(line)) << line;
    }
}

// Only a 201 reply whose body is UTF-8 text is taken for the answer.
TEST_F(WebRTCTest, RefusesAnyReplyButA201WithUtf8Text) {
    struct Case {
        const char* name;
        int status;
        std::optional<std::string> body;  // none: the peer's valid answer
    };
    const Case cases[] = {
        {"a valid answer with status 200", 200, std::nullopt},
        {"a server error", 500, "busy"},
        {"a 201 whose body is not UTF-8", 201, std::string("v=0\r\n\xff\xfe\r\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AnsweringPeer peer;
        if (c.body) {
            server.setReply(offerPath, support::ScriptedReply::text(c.status, *c.body));
        } else {
            answerThrough(peer, c.status);
        }
        try {
            connect();
            ADD_FAILURE() << "connected";
        } catch (const WebRTCConnector::WebRTCError& error) {
            EXPECT_EQ(error.code, WebRTCConnector::WebRTCError::Code::badServerResponse);
        }
    }
}

TEST_F(WebRTCTest, AnAnswerThatIsNotSdpFailsTheConnection) {
    server.setReply(offerPath, support::ScriptedReply::text(201, "hello"));
    EXPECT_THROW(connect(), WebRTCConnector::NegotiationError);
}

TEST_F(WebRTCTest, AnOfferThatCannotBeSentFailsTheConnection) {
    std::uint16_t port;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor closed(io, {asio::ip::make_address("127.0.0.1"), 0});
        port = closed.local_endpoint().port();
    }
    try {
        rt.run([&] {
            return WebRTCConnector::connect(
                http, offerRequestTo("http://127.0.0.1:" + std::to_string(port) + offerPath), loopbackOptions());
        });
        ADD_FAILURE() << "connected";
    } catch (const platform::HttpError& error) {
        EXPECT_EQ(error.kind(), platform::HttpError::Kind::cannotConnect);
    }
}

// A message that is not a server event ends the stream with the decoding error; one of a type or
// with a text this client does not know is skipped, as on the WebSocket.
TEST_F(WebRTCTest, AMessageThatIsNotAnEventEndsTheStreamWithTheDecodingError) {
    AnsweringPeer peer;
    answerThrough(peer);
    auto connector = connect();
    ASSERT_TRUE(peer.waitForChannelOpen());
    ASSERT_TRUE(peer.sendText(support::serverEvent("session.renamed").dump()));
    // Twice, and reported once.
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(peer.sendText(
            R"({"type":"conversation.item.created","event_id":"u","item":{"id":"i1","type":"mcp_call"}})"));
    }
    ASSERT_TRUE(peer.sendText(speechStarted("before")));
    ASSERT_TRUE(peer.sendBinary("{\"type\": "));
    ASSERT_TRUE(peer.sendText(speechStarted("after")));

    auto outcome = drainOnMain(connector->events());
    EXPECT_EQ(outcome.ids, std::vector<std::string>{"before"});
    ASSERT_TRUE(outcome.failure);
    EXPECT_THROW(std::rethrow_exception(outcome.failure), realtime::DecodingError);
    EXPECT_TRUE(printed("Unknown event type: session.renamed"));
    EXPECT_EQ(printedCount("Unknown item type: mcp_call"), 1u);
}

// The data channel decodes as the WebSocket does: a newer service's session, with a voice this
// client does not know and an extra member, arrives; its unknown event type is skipped.
TEST_F(WebRTCTest, ANewerServicesSessionArrivesOverTheDataChannel) {
    AnsweringPeer peer;
    answerThrough(peer);
    auto connector = connect();
    ASSERT_TRUE(peer.waitForChannelOpen());
    auto created = support::serverEvent("session.created", {{"session", support::realtimeSession(false)}});
    created["event_id"] = "created";
    for (const auto& text : support::asNewerService(created.dump())) ASSERT_TRUE(peer.sendText(text));
    ASSERT_TRUE(peer.sendText(speechStarted("after")));

    auto outcome = drainOnMain(connector->events(), 2);
    EXPECT_EQ(outcome.ids, (std::vector<std::string>{"created", "after"}));
    EXPECT_TRUE(printed("Unknown event type: " + std::string(support::kNewerEventType)));
}

// The constructor returns before the data channel is open; what is sent meanwhile is not lost.
TEST_F(WebRTCTest, EventsSentWhileTheChannelConnectsLeaveInOrderOnceItOpens) {
    AnsweringPeer peer;
    answerThrough(peer);
    auto connector = connect();
    for (auto id : {"q1", "q2", "q3"}) {
        rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer(id)); });
    }
    ASSERT_TRUE(peer.waitForMessages(3));
    std::vector<std::string> ids;
    for (auto& message : peer.messages()) ids.push_back(support::Json::parse(message.data)["event_id"].get<std::string>());
    EXPECT_EQ(ids, (std::vector<std::string>{"q1", "q2", "q3"}));
}

// webrtcbin bundles the sent stream through a funnel that hides what it is; the RTP session is
// told anyway, so that its first sender report need not ask for the clock rate (asking lets go of
// its lock while it walks its sources, and a source the other side adds meanwhile breaks the walk).
TEST_F(WebRTCTest, TheRtpSessionKnowsTheBundledStreamItSends) {
    AnsweringPeer peer;
    answerThrough(peer);
    auto connector = connect();
    ASSERT_TRUE(peer.waitForChannelOpen());
    std::string caps;
    EXPECT_TRUE(support::eventually([&] { return !(caps = peer.sentStreamCaps()).empty(); }));
    EXPECT_NE(caps.find("ssrc=(uint)"), std::string::npos) << caps;
    EXPECT_NE(caps.find("clock-rate=(int)48000"), std::string::npos) << caps;
    EXPECT_NE(caps.find("payload=(int)111"), std::string::npos) << caps;
}

// With the default elements the microphone is read from, and the other side's audio played
// through, the sound server.
TEST_F(WebRTCTest, RecordsAndPlaysThroughTheSoundServer) {
    KESTRO_REQUIRE_PULSE();
    AnsweringPeer peer;
    answerThrough(peer);
    realtime::WebRTCOptions options;
    options.localAddresses = {"127.0.0.1"};
    auto connector = rt.run([&] { return WebRTCConnector::connect(http, offerRequest(), options); }, patience);
    ASSERT_TRUE(peer.waitForChannelOpen());
    ASSERT_TRUE(waitForLine("Media stream added."));
    EXPECT_TRUE(support::eventually([] { return !kestro::test::pactl("list short source-outputs").empty(); }));
    EXPECT_TRUE(support::eventually([] { return !kestro::test::pactl("list short sink-inputs").empty(); }));
}

}  // namespace
}  // namespace webrtc_test
