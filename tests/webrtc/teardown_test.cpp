#include <future>
#include <regex>

#include "webrtc_fixture.hpp"

namespace webrtc_test {
namespace {

using realtime::WebRTCConnector;

// The answer without this side's candidates: the offerer has nobody to check against, so ICE,
// and with it the data channel, never gets past connecting.
std::string withoutCandidates(const std::string& sdp) {
    return std::regex_replace(sdp, std::regex("a=(candidate|end-of-candidates)[^\r\n]*\r\n"), "");
}

class TeardownTest : public WebRTCTest {
protected:
    // Starts connecting on the main executor; `ended` holds once the attempt is over and its
    // half-built connector torn down.
    struct Attempt {
        platform::TaskHandle task;
        std::future<void> ended;
    };
    Attempt startConnecting() {
        auto promise = std::make_shared<std::promise<void>>();
        auto ended = promise->get_future();
        auto task = platform::spawnTask(rt.main(), [this, promise]() -> asio::awaitable<void> {
            try {
                co_await WebRTCConnector::connect(http, offerRequest(), loopbackOptions());
            } catch (...) {
            }
            promise->set_value();
        });
        return Attempt{std::move(task), std::move(ended)};
    }
};

TEST_F(TeardownTest, EndsWithinTwoSecondsAtEveryStageOfConnectingAndLeavesNoThreadOrSocket) {
    // Taken before this process has made any connection: whatever a connection leaves shows.
    const std::size_t before = threadsInUse();
    const std::size_t socketsBefore = udpSocketCount();

    {
        SCOPED_TRACE("once connected");
        AnsweringPeer peer;
        answerThrough(peer);
        auto connector = connect();
        ASSERT_TRUE(peer.waitForChannelOpen());
        EXPECT_GT(udpSocketCount(), socketsBefore);
        auto destroyed = std::async(std::launch::async, [&] { connector.reset(); });
        EXPECT_EQ(destroyed.wait_for(2s), std::future_status::ready);
        server.setResponder(offerPath, nullptr);
    }

    {
        SCOPED_TRACE("during ICE gathering");
        server.setReply(offerPath, support::ScriptedReply::text(201, "never").after(30s));
        auto cancelled = std::make_shared<std::promise<void>>();
        auto gathering = cancelled->get_future();
        std::mutex taskMutex;
        std::optional<Attempt> attempt;
        {
            std::lock_guard lock(linesMutex);
            onLine = [&, cancelled](std::string_view line) {
                if (line != "ICE gathering state changed to gathering") return;
                std::lock_guard lock(taskMutex);
                if (attempt && !attempt->task.isCancelled()) {
                    attempt->task.cancel();
                    cancelled->set_value();
                }
            };
        }
        {
            std::lock_guard lock(taskMutex);
            attempt = startConnecting();
        }
        ASSERT_EQ(gathering.wait_for(patience), std::future_status::ready);
        EXPECT_EQ(attempt->ended.wait_for(2s), std::future_status::ready);
        std::lock_guard lock(linesMutex);
        onLine = nullptr;
    }
    {
        SCOPED_TRACE("before the answer arrives");
        auto attempt = startConnecting();
        ASSERT_TRUE(server.waitForRequests(server.requests().size() + 1));
        attempt.task.cancel();
        EXPECT_EQ(attempt.ended.wait_for(2s), std::future_status::ready);
    }
    {
        SCOPED_TRACE("while the data channel is still connecting");
        {
            std::lock_guard lock(linesMutex);
            lines.clear();
        }
        AnsweringPeer peer;
        server.setResponder(offerPath, [&peer](const support::RecordedRequest& request) {
            return support::ScriptedReply::text(201, withoutCandidates(peer.answer(request.body)));
        });
        auto connector = connect();
        auto events = connector->events();
        int disconnects = 0;
        connector->onDisconnect([&] { ++disconnects; });
        auto destroyed = std::async(std::launch::async, [&] { connector.reset(); });
        EXPECT_EQ(destroyed.wait_for(2s), std::future_status::ready);
        destroyed.wait();
        EXPECT_EQ(disconnects, 1);
        EXPECT_EQ(drainOnMain(events).end, "end");
        EXPECT_FALSE(printed("Data channel opened."));
    }

    // The answering peer has gone too; the server's held replies hold no GStreamer thread.
    EXPECT_TRUE(support::eventually([&] { return threadsInUse() <= before && udpSocketCount() <= socketsBefore; },
                                    patience))
        << threadsInUse() << " threads, " << before << " before: " << threadNames() << "; " << udpSocketCount()
        << " UDP sockets, " << socketsBefore << " before";
}

}  // namespace
}  // namespace webrtc_test
