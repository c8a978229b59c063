// The analytics client's reachability on the routing table of a network namespace of the test's
// own, pausing and resuming both upload queues that share it.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <thread>

#include "analytics/config/plover_config.hpp"
#include "analytics/network/reachability.hpp"
#include "analytics/queue/plover_queue.hpp"
#include "support/backend_environment.hpp"
#include "support/network_namespace.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

TEST(AnalyticsReachability, DefaultRouteChangesPauseAndResumeBothQueues) {
    auto skipped = support::inFreshNetworkNamespace([] {
        support::TemporaryFolder folder;
        asio::thread_pool background(1);
        asio::io_context main;
        auto config = std::make_shared<plover::PloverConfig>("key", "http://127.0.0.1:9");
        auto http = std::make_shared<platform::HttpClient>();
        auto api = std::make_shared<plover::PloverApi>(config, http);
        auto reachability = plover::Reachability::forDefaultRoute(background.get_executor(), std::nullopt);
        auto makeQueue = [&](plover::PloverApiEndpoint endpoint, const char* name) {
            return plover::PloverQueue::create(config, api, endpoint, reachability,
                                               std::make_unique<plover::PloverFileBackedQueue>(folder.path() / name),
                                               background.get_executor(), main.get_executor());
        };
        auto events = makeQueue(plover::PloverApiEndpoint::batch, "plover.queueFolder");
        auto replay = makeQueue(plover::PloverApiEndpoint::snapshot, "plover.replayFolder");
        events->start(false, true);
        replay->start(false, true);
        auto bothPaused = [&](bool paused) {
            return support::eventually([&] { return events->isPaused() == paused && replay->isPaused() == paused; });
        };

        // Only loopback: unreachable from the start.
        ASSERT_TRUE(bothPaused(true));
        EXPECT_EQ(reachability->connection(), plover::Reachability::Connection::unavailable);

        ASSERT_TRUE(support::ip("link add kya type veth peer name kyb"));
        ASSERT_TRUE(support::ip("addr add 10.232.0.1/24 dev kya"));
        ASSERT_TRUE(support::ip("link set kya up"));
        ASSERT_TRUE(support::ip("link set kyb up"));
        ASSERT_TRUE(support::ip("route add default via 10.232.0.2 dev kya"));
        ASSERT_TRUE(bothPaused(false));
        EXPECT_EQ(reachability->connection(), plover::Reachability::Connection::wifi);
        EXPECT_EQ(plover::Reachability::flagsText(*reachability->flags()), "-R ------d");

        ASSERT_TRUE(support::ip("route del default"));
        ASSERT_TRUE(bothPaused(true));
        events->close();
        replay->close();
        reachability->endNotifier();
    });
    if (skipped) GTEST_SKIP() << *skipped;
}

}  // namespace
