#include <nlohmann/json.hpp>

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
        auto json = nlohmann::json::parse(messages[i].data);
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

}  // namespace
}  // namespace webrtc_test
