// The reachability monitor against the kernel's routing table, in a network namespace of the
// test's own: a veth pair whose both ends live in that namespace, so nothing leaves it.

#include "app/network_monitor.hpp"
#include "platform/network/network_path_monitor.hpp"

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

// Runs `body` on a thread that has moved into a fresh network namespace (the move affects that
// thread only; threads and processes it starts inherit it). Returns why it could not, if so.
std::optional<std::string> inFreshNetworkNamespace(const std::function<void()>& body) {
    std::optional<std::string> failure;
    std::thread thread([&] {
        if (::geteuid() != 0) {
            failure = "needs root to create a network namespace";
            return;
        }
        if (::unshare(CLONE_NEWNET) != 0) {
            failure = std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno);
            return;
        }
        if (std::system("ip link show lo >/dev/null 2>&1") != 0) {
            failure = "the ip command is not available";
            return;
        }
        body();
    });
    thread.join();
    return failure;
}

// Runs an `ip` command line in the namespace of the calling thread.
void ip(const std::string& arguments) {
    int status = std::system(("ip " + arguments + " >/dev/null 2>&1").c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "ip " << arguments;
}

// Collects the updates the monitor delivers on an io_context run by the test thread.
struct Updates {
    asio::io_context main;
    asio::executor_work_guard<asio::io_context::executor_type> busy{main.get_executor()};
    std::vector<platform::NetworkPath> seen;

    // Runs the context until an update with the given status has arrived.
    bool waitFor(bool satisfied) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!seen.empty() && seen.back().satisfied == satisfied) return true;
            main.run_for(20ms);
        }
        return false;
    }
};

TEST(NetworkPathMonitor, FollowsTheDefaultRouteOfAFreshNamespace) {
    auto skipped = inFreshNetworkNamespace([] {
        Updates updates;
        platform::NetworkPathMonitor monitor(updates.main.get_executor(),
                                             [&](const platform::NetworkPath& path) { updates.seen.push_back(path); });

        // Only loopback, and even loopback up with a default route through it does not count.
        EXPECT_FALSE(monitor.currentPath().satisfied);
        ip("link set lo up");
        ip("route add default dev lo");
        updates.main.run_for(200ms);
        EXPECT_FALSE(monitor.currentPath().satisfied);
        ip("route del default dev lo");

        ip("link add kxa type veth peer name kxb");
        ip("addr add 10.231.0.1/24 dev kxa");
        ip("link set kxa up");
        ip("link set kxb up");
        ip("route add default via 10.231.0.2 dev kxa");
        ASSERT_TRUE(updates.waitFor(true));
        EXPECT_TRUE(monitor.currentPath().satisfied);
        EXPECT_TRUE(monitor.currentPath().usesInterfaceType(platform::NetworkPath::InterfaceType::wiredEthernet));

        ip("route del default");
        ASSERT_TRUE(updates.waitFor(false));
        EXPECT_FALSE(monitor.currentPath().satisfied);

        // IPv6 counts as well, and a default route whose link goes down stops counting.
        ip("-6 route add default dev kxa");
        ASSERT_TRUE(updates.waitFor(true));
        ip("link set kxb down");  // the peer down takes kxa's carrier away
        ASSERT_TRUE(updates.waitFor(false));
        ip("link set kxb up");
        ASSERT_TRUE(updates.waitFor(true));
        ip("link del kxa");
        ASSERT_TRUE(updates.waitFor(false));

        // Each delivered path differs from the one before it.
        for (std::size_t i = 1; i < updates.seen.size(); ++i) EXPECT_NE(updates.seen[i], updates.seen[i - 1]);
    });
    if (skipped) GTEST_SKIP() << *skipped;
}

TEST(NetworkPathMonitor, DeliversNothingAfterDestruction) {
    auto skipped = inFreshNetworkNamespace([] {
        asio::io_context main;
        int calls = 0;
        {
            platform::NetworkPathMonitor monitor(main.get_executor(), [&](const platform::NetworkPath&) { ++calls; });
            ip("link add kxa type veth peer name kxb");
            ip("link set kxa up");
            ip("link set kxb up");
            ip("-6 route add default dev kxa");
            // Give the monitor time to post its update, but do not run it yet.
            for (int i = 0; i < 100 && monitor.currentPath().satisfied == false; ++i) std::this_thread::sleep_for(20ms);
            ASSERT_TRUE(monitor.currentPath().satisfied);
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
        kestro::NetworkMonitor monitor(main.get_executor());
        EXPECT_FALSE(monitor.isConnected.get());
        EXPECT_FALSE(monitor.checkConnection());
        std::vector<bool> published;
        auto subscription = monitor.isConnected.observe([&](bool value) { published.push_back(value); });

        ip("link add kxa type veth peer name kxb");
        ip("link set kxa up");
        ip("link set kxb up");
        ip("-6 route add default dev kxa");
        // The check answers from the current path before the update reaches the main executor.
        for (int i = 0; i < 250 && !monitor.checkConnection(); ++i) std::this_thread::sleep_for(20ms);
        EXPECT_TRUE(monitor.checkConnection());
        EXPECT_TRUE(published.empty());

        for (int i = 0; i < 250 && !monitor.isConnected.get(); ++i) main.run_for(20ms);
        EXPECT_TRUE(monitor.isConnected.get());
        EXPECT_EQ(monitor.connectionType.get(), kestro::NetworkMonitor::InterfaceType::wiredEthernet);

        // Down again: the published flag keeps saying connected until the update is delivered.
        ip("link del kxa");
        for (int i = 0; i < 250 && monitor.isConnected.get(); ++i) main.run_for(20ms);
        EXPECT_FALSE(monitor.isConnected.get());
        EXPECT_FALSE(monitor.checkConnection());
        EXPECT_EQ(monitor.connectionType.get(), std::nullopt);
        EXPECT_EQ(published, (std::vector<bool>{true, false}));
    });
    if (skipped) GTEST_SKIP() << *skipped;
}

TEST(NetworkMonitor, SharedInstanceIsOneForAllCallers) {
    asio::io_context main;
    auto first = kestro::NetworkMonitor::shared(main.get_executor());
    auto second = kestro::NetworkMonitor::shared(main.get_executor());
    EXPECT_EQ(first.get(), second.get());
}

}  // namespace
