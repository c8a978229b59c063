#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/tracked.hpp"

namespace {

TEST(Tracked, EqualAssignmentsAreSkippedAndInPlaceEditsAlwaysAnnounce) {
    platform::Tracked<std::vector<int>> list;
    int announcements = 0;
    auto subscription = list.observe([&](const std::vector<int>&) { ++announcements; });

    list = std::vector<int>{};
    EXPECT_EQ(announcements, 0);
    list = std::vector<int>{1};
    EXPECT_EQ(announcements, 1);
    list.modify([](auto&) {});
    EXPECT_EQ(announcements, 2);

    subscription.reset();
    list = std::vector<int>{2};
    EXPECT_EQ(announcements, 2);
}

TEST(Tracked, AnObserverMayUnsubscribeAnotherWhileBeingTold) {
    platform::Tracked<int> value(0);
    std::optional<platform::Subscription> second;
    std::vector<std::string> calls;
    auto first = value.observe([&](int) {
        calls.push_back("first");
        second.reset();
    });
    second.emplace(value.observe([&](int) { calls.push_back("second"); }));
    value = 1;
    EXPECT_EQ(calls, std::vector<std::string>{"first"});
}

}  // namespace
