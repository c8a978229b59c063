#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <string>
#include <vector>

#include "analytics/network/reachability.hpp"
#include "fake_flag_source.hpp"

namespace {

using analytics_test::FakeFlagSource;
using plover::Reachability;

TEST(Reachability, ConnectionFollowsTheFlagsAndEveryChangeIsAnnouncedOnce) {
    const std::pair<Reachability::Flags, bool> table[] = {
        {0x2, true}, {0x6, false}, {0x0E, true}, {0x1E, false}, {0x26, true}, {0x0, false}, {0x20002, true},
    };
    for (auto& [value, usable] : table) EXPECT_EQ(Reachability::isUsable(value), usable) << value;
    EXPECT_EQ(Reachability::flagsText(Reachability::reachable | Reachability::isDirect), "-R ------d");
    EXPECT_EQ(Reachability::flagsText(0x3003F), "-R ctiCDld");

    auto starts = std::make_shared<std::atomic<int>>(0);
    auto source = std::make_unique<FakeFlagSource>(starts);
    auto* flags = source.get();
    platform::NotificationCenter center;
    auto reachability = Reachability::create(std::move(source), std::nullopt, center);
    std::vector<std::string> calls;
    auto subscription = reachability->subscribe([&](Reachability& r) { calls.push_back("up " + r.currentReachabilityString()); },
                                                [&](Reachability& r) { calls.push_back("down " + r.currentReachabilityString()); });
    int notifications = 0;
    auto observer = center.addObserver("reachabilityChanged", [&](const platform::Notification& n) {
        ++notifications;
        EXPECT_TRUE(n.get<std::shared_ptr<Reachability>>("object"));
    });

    reachability->beginNotifier();  // the first read always announces
    reachability->beginNotifier();
    EXPECT_EQ(*starts, 1);
    flags->set(0x2);  // unchanged
    flags->set(0x6);
    flags->set(0x6);
    flags->set(0x0E);
    EXPECT_EQ(calls, (std::vector<std::string>{"up WiFi", "down No Connection", "up WiFi"}));
    EXPECT_EQ(notifications, 3);
    EXPECT_EQ(reachability->currentReachabilityStatus(), Reachability::NetworkStatus::reachableViaWiFi);

    // A later subscriber is told the current state at once.
    std::vector<std::string> late;
    auto lateSubscription = reachability->subscribe([&](Reachability&) { late.push_back("up"); },
                                                    [&](Reachability&) { late.push_back("down"); });
    EXPECT_EQ(late, std::vector<std::string>{"up"});

    subscription.reset();
    flags->set(0x1E);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(reachability->connection(), Reachability::Connection::unavailable);
    reachability->endNotifier();
    flags->set(0x2);
    EXPECT_EQ(notifications, 4);
    EXPECT_EQ(Reachability::description(Reachability::Connection::cellular), "Cellular");
}

TEST(Reachability, AHostWithARouteOfItsOwnIsReachableWithoutADefaultRoute) {
    auto reachabilityFor = [](const std::string& host, std::uint32_t defaultRoute) {
        auto source = std::make_unique<FakeFlagSource>(std::make_shared<std::atomic<int>>(0));
        source->set(defaultRoute);
        boost::asio::io_context unused;
        return Reachability::forHost(host, unused.get_executor(), std::nullopt, std::move(source));
    };
    // No default route: the loopback still has one.
    for (const char* host : {"127.0.0.1", "127.0.0.53", "localhost"}) {
        EXPECT_EQ(reachabilityFor(host, 0)->connection(), Reachability::Connection::wifi) << host;
    }
    // A name that would have to be looked up follows the default route.
    EXPECT_EQ(reachabilityFor("analytics.example.com", 0)->connection(), Reachability::Connection::unavailable);
    EXPECT_EQ(reachabilityFor("analytics.example.com", Reachability::reachable)->connection(),
              Reachability::Connection::wifi);

    // Changes of the default route reach the subscribers with the host's own route added.
    auto source = std::make_unique<FakeFlagSource>(std::make_shared<std::atomic<int>>(0));
    auto* flags = source.get();
    boost::asio::io_context unused;
    auto loopback = Reachability::forHost("127.0.0.1", unused.get_executor(), std::nullopt, std::move(source));
    std::vector<std::string> calls;
    auto subscription = loopback->subscribe([&](Reachability&) { calls.push_back("up"); },
                                            [&](Reachability&) { calls.push_back("down"); });
    loopback->beginNotifier();
    flags->set(0);
    EXPECT_EQ(calls, std::vector<std::string>{"up"});
    loopback->endNotifier();
}

}  // namespace
