// The realtime connection over a network that vanishes without a word, in a network namespace of
// the test's own: once its loopback interface goes down, the packets go nowhere (no reset, no
// error reaches the socket), as when Wi-Fi drops.

#include <gtest/gtest.h>

#include "platform/runtime/task.hpp"
#include "realtime/transport/websocket_connection.hpp"
#include "realtime/transport/websocket_connector.hpp"
#include "support/network_namespace.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;

// How the event stream ended: "end", "silent" or the failure's text.
boost::asio::awaitable<std::string> howItEnds(realtime::ServerEventStream events) {
    try {
        while (co_await events.next()) {
        }
        co_return "end";
    } catch (const realtime::detail::ConnectionSilentError&) {
        co_return "silent";
    } catch (const std::exception& error) {
        co_return error.what();
    }
}

TEST(RealtimeNetworkLoss, AConnectionWhoseNetworkVanishesIsGivenUpAndShutAtOnce) {
    auto skipped = support::inFreshNetworkNamespace([] {
        ASSERT_TRUE(support::ip("link set lo up"));
        support::TestRuntime runtime;
        support::RealtimeServer server;
        realtime::ConnectionRequest request;
        request.url = server.baseUrl() + "/v1/realtime";
        request.silenceLimit = 2s;
        request.pingAfter = 500ms;
        auto connector = std::make_unique<realtime::WebSocketConnector>(runtime.shared(), request);
        ASSERT_TRUE(server.waitForConnection());
        std::this_thread::sleep_for(2 * request.silenceLimit);  // pinged and answered meanwhile

        ASSERT_TRUE(support::ip("link set lo down"));
        const auto lost = std::chrono::steady_clock::now();
        const auto end = runtime.run([events = connector->events()] { return howItEnds(events); }, 30s);
        EXPECT_EQ(end, "silent");
        EXPECT_LT(std::chrono::steady_clock::now() - lost, 3 * request.silenceLimit);
        // Nothing is left to close: the connection is gone as soon as the connector is.
        connector.reset();
        EXPECT_TRUE(support::eventually([] { return realtime::WebSocketConnector::openConnections() == 0; }, 1s));
    });
    if (skipped) GTEST_SKIP() << *skipped;
}

}  // namespace
