// The connector against aiortc, an answering peer written by others, in a process of its own.

#include <chrono>

#include "aiortc_peer.hpp"
#include "realtime/transport/webrtc_shared.hpp"
#include "webrtc_fixture.hpp"

namespace webrtc_test {
namespace {

using realtime::WebRTCConnector;
using Clock = std::chrono::steady_clock;

class AiortcTest : public WebRTCTest {
protected:
    void SetUp() override {
        if (!AiortcPeer::available()) GTEST_SKIP() << "python3-aiortc is not installed";
        WebRTCTest::SetUp();
        peer = std::make_unique<AiortcPeer>();
    }

    // Connects and waits until the channel is open on both sides (aiortc may see it open later).
    std::shared_ptr<realtime::Connector> connectToPeer() {
        const auto opened = printedCount("Data channel opened.");
        auto connector = rt.run(
            [this] { return WebRTCConnector::connect(http, offerRequestTo(peer->offerUrl()), loopbackOptions()); },
            patience);
        EXPECT_TRUE(support::eventually([&] { return printedCount("Data channel opened.") > opened; }, patience));
        ++channels;
        const std::string seen = "channels=" + std::to_string(channels) + " ";
        EXPECT_TRUE(support::eventually(
            [&] {
                auto state = peer->state();
                return state.rfind(seen, 0) == 0 && state.ends_with(" newest=open");
            },
            patience))
            << peer->state();
        return connector;
    }

    std::unique_ptr<AiortcPeer> peer;
    int channels = 0;  // the channels the peer has been offered
};

TEST_F(AiortcTest, TenConnectionsInOneProcessLeaveNoThreadAndNoSocket) {
    // Taken before the process has made any connection.
    const auto threadsBefore = threadsInUse();
    const auto socketsBefore = udpSocketCount();
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("connection " + std::to_string(i + 1));
        auto connector = connectToPeer();
        const std::string id = "c" + std::to_string(i);
        ASSERT_TRUE(peer->send(speechStarted(id))) << peer->state();
        EXPECT_EQ(drainOnMain(connector->events(), 1).ids, std::vector<std::string>{id});
        rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer(id)); });
        const std::string received = " messages=" + std::to_string(i + 1) + " ";
        EXPECT_TRUE(support::eventually([&] { return peer->state().find(received) != std::string::npos; }, patience))
            << peer->state();
        EXPECT_GT(udpSocketCount(), socketsBefore);
        // The Opus track the offer describes reaches aiortc's decoder.
        const long frames = peer->audioFrames();
        EXPECT_TRUE(support::eventually([&] { return peer->audioFrames() > frames; }, patience)) << peer->state();
    }
    EXPECT_TRUE(support::eventually([&] { return threadsInUse() <= threadsBefore && udpSocketCount() <= socketsBefore; },
                                    patience))
        << threadsInUse() << " threads, " << threadsBefore << " before: " << threadNames() << "; " << udpSocketCount()
        << " UDP sockets, " << socketsBefore << " before";
}

// However the other side goes, the stream ends (with an error unless it said goodbye), the
// disconnect handler runs once, and a send afterwards fails.
TEST_F(AiortcTest, APeerThatGoesAwayIsNoticedWithinTheBound) {
    struct Case {
        const char* name;
        bool clean;
    };
    for (const Case& c : {Case{"closes the channel", true}, Case{"closes its connection", true},
                          Case{"is killed", false}}) {
        SCOPED_TRACE(c.name);
        auto connector = connectToPeer();
        std::atomic<int> disconnects{0};
        connector->onDisconnect([&] { ++disconnects; });
        ASSERT_TRUE(peer->send(speechStarted("last")));
        EXPECT_EQ(drainOnMain(connector->events(), 1).ids, std::vector<std::string>{"last"});
        const auto start = Clock::now();
        const std::string name = c.name;
        if (name == "closes the channel") {
            ASSERT_TRUE(peer->closeChannel());
        } else if (name == "closes its connection") {
            ASSERT_TRUE(peer->closeConnection());
        } else {
            peer->kill();
        }

        auto outcome = rt.run([events = connector->events()] { return drain(events); }, patience);
        const auto noticed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        std::cout << c.name << ": noticed after " << noticed.count() << " ms\n";
        EXPECT_EQ(outcome.ids, std::vector<std::string>{});
        EXPECT_LT(noticed, realtime::detail::peerSilenceLimit + 2s);
        if (c.clean) {
            EXPECT_EQ(outcome.end, "end");
        } else {
            EXPECT_TRUE(transport_test::failureAs<WebRTCConnector::ConnectionError>(outcome)) << outcome.end;
        }
        EXPECT_TRUE(support::eventually([&] { return disconnects == 1; }));
        EXPECT_THROW(rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer("x")); }),
                     WebRTCConnector::ConnectionError);
        connector.reset();
        EXPECT_EQ(disconnects, 1);
    }
}

}  // namespace
}  // namespace webrtc_test
