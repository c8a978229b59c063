#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/tracked.hpp"
#include "platform/runtime/unsafe_interior_mutable.hpp"
#include "platform/runtime/unsafe_mutable_array.hpp"

namespace {

using platform::UnsafeMutableArray;
using platform::withObservationTracking;

TEST(UnsafeMutableArray, AnArmedObserverIsToldOnceBeforeTheNextChange) {
    UnsafeMutableArray<std::string> queue;
    std::vector<std::vector<std::string>> seenAtNotice;
    auto arm = [&] {
        return withObservationTracking([&] { return queue.isEmpty(); },
                                       [&] { seenAtNotice.push_back(queue.array()); });
    };
    EXPECT_TRUE(arm());

    queue.append("a");  // told, with the list still as it was
    queue.append("b");  // not armed any more
    ASSERT_EQ(seenAtNotice.size(), 1u);
    EXPECT_TRUE(seenAtNotice[0].empty());

    EXPECT_FALSE(arm());
    EXPECT_EQ(queue.removeFirst(), "a");
    EXPECT_FALSE(arm());
    queue.removeAll();
    EXPECT_TRUE(arm());
    queue.setArray({"x"});
    ASSERT_EQ(seenAtNotice.size(), 4u);
    EXPECT_EQ(seenAtNotice[1], (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(seenAtNotice[2], (std::vector<std::string>{"b"}));
    EXPECT_TRUE(seenAtNotice[3].empty());

    // Removing from an empty list gives nothing and leaves it empty.
    queue.removeAll();
    EXPECT_EQ(queue.removeFirst(), std::nullopt);
    EXPECT_TRUE(queue.isEmpty());
}

TEST(UnsafeMutableArray, ATrackingOverSeveralListsFiresOnceAndNothingIsToldWithoutARead) {
    UnsafeMutableArray<int> first, second;
    int told = 0;
    withObservationTracking([&] { return first.count() + second.count(); }, [&] { ++told; });
    second.append(1);
    first.append(1);
    second.append(2);
    EXPECT_EQ(told, 1);

    withObservationTracking([] { return 0; }, [&] { ++told; });
    first.append(2);
    EXPECT_EQ(told, 1);
}

TEST(UnsafeMutableArray, OperationsFromTwoThreadsStayConsistentAndObserversMayReArm) {
    UnsafeMutableArray<int> queue;
    std::atomic<int> notices = 0;
    std::function<void()> rearm = [&] {
        withObservationTracking([&] { return queue.first(); }, [&] {
            ++notices;
            rearm();
        });
    };
    rearm();
    constexpr int count = 5000;
    std::thread appender([&] {
        for (int i = 0; i < count; ++i) queue.append(i);
    });
    int removed = 0;
    int expected = 0;
    while (removed < count) {
        if (auto value = queue.removeFirst()) {
            ASSERT_EQ(*value, expected++);
            ++removed;
        }
    }
    appender.join();
    EXPECT_TRUE(queue.isEmpty());
    // Changes made while the observer was between two armings go untold, but it is armed again
    // afterwards and hears the next change.
    const int before = notices.load();
    EXPECT_GE(before, 1);
    queue.append(0);
    EXPECT_EQ(notices.load(), before + 1);
}

TEST(UnsafeInteriorMutable, ReadersOnAnotherThreadSeeWholeValuesWhileItIsReplaced) {
    platform::UnsafeInteriorMutable<std::vector<int>> slot;
    EXPECT_EQ(slot.value(), nullptr);
    std::atomic<bool> stop = false;
    std::thread reader([&] {
        while (!stop) {
            if (auto value = slot.value()) {
                ASSERT_EQ(value->size(), 100u);
                ASSERT_EQ(value->front(), value->back());
            }
        }
    });
    for (int i = 0; i < 2000; ++i) slot.setValue(std::make_shared<std::vector<int>>(100, i));
    stop = true;
    reader.join();
    EXPECT_EQ(slot.value()->front(), 1999);
    slot.setValue(nullptr);
    EXPECT_EQ(slot.value(), nullptr);
}

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
