#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/notifications/notification_center.hpp"

namespace {

TEST(NotificationCenter, DeliversByNameInOrderWithTypedUserInfo) {
    platform::NotificationCenter center;
    std::vector<std::string> seen;
    auto first = center.addObserver("usageUpdated", [&](const platform::Notification& note) {
        ASSERT_NE(note.get<int>("used"), nullptr);
        EXPECT_EQ(note.get<std::string>("used"), nullptr);
        seen.push_back("first " + std::to_string(*note.get<int>("used")));
    });
    auto every = center.addObserver("", [&](const platform::Notification& note) { seen.push_back("every " + note.name); });
    auto other = center.addObserver("other", [&](const platform::Notification&) { seen.push_back("other"); });

    center.post("usageUpdated", {{"used", 3}});
    EXPECT_EQ(seen, (std::vector<std::string>{"first 3", "every usageUpdated"}));
}

TEST(NotificationCenter, TokensUnsubscribeAndObserversMayChangeTheListWhileTold) {
    platform::NotificationCenter center;
    std::vector<std::string> seen;
    platform::ObserverToken second;
    platform::ObserverToken added;
    platform::ObserverToken first = center.addObserver("n", [&](const platform::Notification&) {
        seen.push_back("first");
        second.reset();  // not yet told in this round: it is not told at all
        added = center.addObserver("n", [&](const platform::Notification&) { seen.push_back("added"); });
        first.reset();   // itself
    });
    second = center.addObserver("n", [&](const platform::Notification&) { seen.push_back("second"); });

    center.post("n");
    EXPECT_EQ(seen, (std::vector<std::string>{"first"}));
    center.post("n");
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "added"}));

    added = {};
    center.post("n");
    EXPECT_EQ(seen.size(), 2u);
}

TEST(NotificationCenter, DeliversOnThePostingThreadAndTokensMayOutliveTheCenter) {
    platform::ObserverToken token;
    std::optional<std::thread::id> where;
    {
        platform::NotificationCenter center;
        token = center.addObserver("n", [&](const platform::Notification&) { where = std::this_thread::get_id(); });
        std::thread poster([&] { center.post("n"); });
        auto posterId = poster.get_id();
        poster.join();
        EXPECT_EQ(where, posterId);
    }
    token.reset();
}

}  // namespace
