// A service that sends faster than the consumer takes its events: the socket is read only as fast
// as events are taken, so the flood waits in the service's socket, and the backlog goes with the
// connector.

#include <cstdio>
#include <thread>

#include "support/process_memory.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

class Backlog : public TransportTest {
protected:
    // Waits until the server has written no flood message for `quiet`; returns what it wrote.
    std::size_t floodSentOnceStalled(std::chrono::milliseconds quiet = 500ms) {
        std::size_t last = server.floodSent();
        auto lastChange = std::chrono::steady_clock::now();
        const auto deadline = lastChange + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
            const auto now = server.floodSent();
            if (now != last) {
                last = now;
                lastChange = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastChange > quiet) {
                break;
            }
        }
        return last;
    }
};

TEST_F(Backlog, AFloodStallsInTheServersSocketWhileNobodyTakesEventsAndLosesNothing) {
    constexpr std::size_t count = 1'000'000;  // about 110 MB of messages, far beyond any socket buffer
    const auto before = support::residentBytes();
    server.flood(speechStarted, count);
    auto connector = connect();
    ASSERT_TRUE(server.waitForConnection());
    const auto sent = floodSentOnceStalled();
    const auto grown = support::residentBytes() - std::min(before, support::residentBytes());
    std::printf("flood stalled after %zu of %zu messages; resident size grew by %zu MB\n", sent, count, grown >> 20);
    // What was written sits in the two socket buffers and a few megabytes of received events.
    EXPECT_LT(sent, count / 4);
    if (!support::underSanitizer()) {
        EXPECT_LT(grown, 100u << 20);
    }

    // A consumer that turns up late gets every event, in order.
    auto outcome = drainOnMain(connector->events(), 20'000);
    ASSERT_EQ(outcome.ids.size(), 20'000u) << outcome.end;
    for (std::size_t i = 0; i < outcome.ids.size(); ++i) ASSERT_EQ(outcome.ids[i], "e" + std::to_string(i));
    // Taking events lets the flood go on.
    EXPECT_TRUE(support::eventually([&] { return server.floodSent() > sent; }));
}

TEST_F(Backlog, TearingTheConnectorDownDropsWhatWasReceivedAndNotTaken) {
    server.flood(speechStarted, 100'000);
    auto connector = connect();
    ASSERT_TRUE(server.waitForConnection());
    floodSentOnceStalled(200ms);
    auto events = connector->events();
    connector.reset();
    EXPECT_EQ(server.waitForClientClose(), 1001);
    // The stream ends normally at once, with nothing of the backlog left in it.
    auto outcome = drainOnMain(events);
    EXPECT_EQ(outcome.end, "end");
    EXPECT_TRUE(outcome.ids.empty()) << outcome.ids.size() << " events were still delivered";
}

}  // namespace
}  // namespace transport_test
