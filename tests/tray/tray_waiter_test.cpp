#include "app/view/tray_waiter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qt_test_application.hpp"

namespace {

using namespace std::chrono_literals;
using kestro::test::processEventsUntil;
using kestro::view::TrayWaiter;

struct Desktop {
    bool tray = false;
    int shown = 0;
    int probes = 0;
    std::vector<std::string> reports;

    TrayWaiter::Hooks hooks() {
        return {[this] {
                    ++probes;
                    return tray;
                },
                [this] { ++shown; }, [this](const std::string& summary, const std::string&) { reports.push_back(summary); }};
    }
};

TEST(TrayWaiter, ATrayAtStartShowsTheIconAtOnceWithoutAWord) {
    kestro::test::qtApplication();
    Desktop desktop;
    desktop.tray = true;
    TrayWaiter waiter(desktop.hooks(), 5ms);
    waiter.start();
    waiter.start();
    EXPECT_EQ(desktop.shown, 1);
    EXPECT_TRUE(desktop.reports.empty());
    EXPECT_FALSE(waiter.isWaiting());
}

TEST(TrayWaiter, WithoutATrayItSaysSoOnceAndShowsTheIconOnceOneAppears) {
    kestro::test::qtApplication();
    Desktop desktop;
    TrayWaiter waiter(desktop.hooks(), 5ms);
    waiter.start();
    EXPECT_EQ(desktop.reports, std::vector<std::string>{TrayWaiter::noTraySummary});
    EXPECT_EQ(desktop.shown, 0);
    ASSERT_TRUE(processEventsUntil([&] { return desktop.probes >= 4; }));
    EXPECT_EQ(desktop.shown, 0);
    EXPECT_TRUE(waiter.isWaiting());

    desktop.tray = true;
    ASSERT_TRUE(processEventsUntil([&] { return desktop.shown == 1; }));
    EXPECT_FALSE(waiter.isWaiting());
    int probes = desktop.probes;
    processEventsUntil([] { return false; }, 30ms);
    EXPECT_EQ(desktop.probes, probes) << "no more looking once shown";
    EXPECT_EQ(desktop.shown, 1);
    EXPECT_EQ(desktop.reports.size(), 1u);
}

}  // namespace
