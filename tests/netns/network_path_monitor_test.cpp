// The reachability monitor against the kernel's routing table, in a network namespace of the
// test's own: a veth pair whose both ends live in that namespace, so nothing leaves it.

#include "app/network_monitor.hpp"
#include "platform/network/network_path_monitor.hpp"
#include "support/network_namespace.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;

using support::inFreshNetworkNamespace;

// Runs an `ip` command line in the namespace of the calling thread.
void ip(const std::string& arguments) { ASSERT_TRUE(support::ip(arguments)) << "ip " << arguments; }

// A veth pair inside the namespace, both ends up, with an IPv6 default route through it.
void addConnectedVeth() {
    ip("link add kxa type veth peer name kxb");
    ip("link set kxa up");
    ip("link set kxb up");
    ip("-6 route add default dev kxa");
}

// Runs `step` (20 ms of the main context, or a nap) until `done` holds, for at most 500 steps.
template <class Done, class Step>
bool waitUntil(Done done, Step step) {
    for (int i = 0; i < 500 && !done(); ++i) step();
    return done();
}
void nap() { std::this_thread::sleep_for(20ms); }

TEST(NetworkPathMonitor, FollowsTheDefaultRouteOfAFreshNamespace) {
    auto skipped = inFreshNetworkNamespace([] {
        asio::io_context main;
        auto busy = asio::make_work_guard(main);
        std::vector<platform::NetworkPath> seen;
        platform::NetworkPathMonitor monitor(main.get_executor(), [&](const platform::NetworkPath& path) { seen.push_back(path); });
        // Runs the main context until an update with the given status has arrived.
        auto delivered = [&](bool satisfied) {
            return waitUntil([&] { return !seen.empty() && seen.back().satisfied == satisfied; },
                             [&] { main.run_for(20ms); });
        };

        // Only loopback, and even loopback up with a default route through it does not count.
        EXPECT_FALSE(monitor.currentPath().satisfied);
        ip("link set lo up");
        ip("route add default dev lo");
        main.run_for(200ms);
        EXPECT_FALSE(monitor.currentPath().satisfied);
        ip("route del default dev lo");

        ip("link add kxa type veth peer name kxb");
        ip("addr add 10.231.0.1/24 dev kxa");
        ip("link set kxa up");
        ip("link set kxb up");
        ip("route add default via 10.231.0.2 dev kxa");
        ASSERT_TRUE(delivered(true));
        EXPECT_TRUE(monitor.currentPath().satisfied);
        EXPECT_TRUE(monitor.currentPath().usesInterfaceType(platform::NetworkPath::InterfaceType::wiredEthernet));
        ip("route del default");
        ASSERT_TRUE(delivered(false));
        EXPECT_FALSE(monitor.currentPath().satisfied);

        // IPv6 counts as well, and a default route whose link goes down stops counting.
        ip("-6 route add default dev kxa");
        ASSERT_TRUE(delivered(true));
        ip("link set kxb down");  // the peer down takes kxa's carrier away
        ASSERT_TRUE(delivered(false));
        ip("link set kxb up");
        ASSERT_TRUE(delivered(true));
        ip("link del kxa");
        ASSERT_TRUE(delivered(false));

        // Each delivered path differs from the one before it.
        for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_NE(seen[i], seen[i - 1]);
    });
    if (skipped) GTEST_SKIP() << *skipped;
}

TEST(NetworkPathMonitor, DeliversNothingAfterDestruction) {
    auto skipped = inFreshNetworkNamespace([] {
        asio::io_context main;
        int calls = 0;
        {
            platform::NetworkPathMonitor monitor(main.get_executor(), [&](const platform::NetworkPath&) { ++calls; });
            addConnectedVeth();
            // Give the monitor time to post its update, but do not run it yet.
            ASSERT_TRUE(waitUntil([&] { return monitor.currentPath().satisfied; }, nap));
        }
        main.run();
        EXPECT_EQ(calls, 0);
    });
    if (skipped) GTEST_SKIP() << *skipped;
}

TEST(NetworkMonitor, PublishesConnectedOnTheMainExecutor) {
    auto skipped = inFreshNetworkNamespace([] {
        asio::io_context main;
        auto busy = asio::make_work_guard(main);
        auto runMain = [&] { main.run_for(20ms); };
        auto monitor = kestro::NetworkMonitor::shared(main.get_executor());
        EXPECT_EQ(kestro::NetworkMonitor::shared(main.get_executor()), monitor);  // one for all callers
        EXPECT_FALSE(monitor->isConnected.get());
        EXPECT_FALSE(monitor->checkConnection());
        std::vector<bool> published;
        auto subscription = monitor->isConnected.observe([&](bool value) { published.push_back(value); });

        addConnectedVeth();
        // The check answers from the current path before the update reaches the main executor.
        EXPECT_TRUE(waitUntil([&] { return monitor->checkConnection(); }, nap));
        EXPECT_TRUE(published.empty());
        EXPECT_TRUE(waitUntil([&] { return monitor->isConnected.get(); }, runMain));
        EXPECT_EQ(monitor->connectionType.get(), kestro::NetworkMonitor::InterfaceType::wiredEthernet);

        // Down again: the published flag keeps saying connected until the update is delivered.
        ip("link del kxa");
        EXPECT_TRUE(waitUntil([&] { return !monitor->isConnected.get(); }, runMain));
        EXPECT_FALSE(monitor->checkConnection());
        EXPECT_EQ(monitor->connectionType.get(), std::nullopt);
        EXPECT_EQ(published, (std::vector<bool>{true, false}));
    });
    if (skipped) GTEST_SKIP() << *skipped;
}

}  // namespace
