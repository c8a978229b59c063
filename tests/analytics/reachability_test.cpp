#include <gtest/gtest.h>

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

}  // namespace
