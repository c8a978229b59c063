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
    TrayWaiter waiter(desktop.hooks());
    waiter.start();
    waiter.start();
    EXPECT_EQ(desktop.shown, 1);
    EXPECT_TRUE(desktop.reports.empty());
    EXPECT_FALSE(waiter.isWaiting());
}

// Nothing is looked at while nothing happens: only a sign that a tray appeared (a watcher taking
// its name, a host registering, an XEmbed tray announcing itself) makes the waiter look again.
TEST(TrayWaiter, WithoutATrayItSaysSoOnceAndLooksAgainOnlyWhenATraySignals) {
    kestro::test::qtApplication();
    Desktop desktop;
    TrayWaiter waiter(desktop.hooks());
    waiter.traySignalled();
    EXPECT_EQ(desktop.probes, 0) << "not started yet";
    waiter.start();
    EXPECT_EQ(desktop.reports, std::vector<std::string>{TrayWaiter::noTraySummary});
    EXPECT_EQ(desktop.shown, 0);
    EXPECT_TRUE(waiter.isWaiting());
    processEventsUntil([] { return false; }, 100ms);
    EXPECT_EQ(desktop.probes, 1) << "looked again with no sign of a tray";

    // A watcher without a host yet: still nothing to show.
    waiter.traySignalled();
    EXPECT_EQ(desktop.shown, 0);
    EXPECT_TRUE(waiter.isWaiting());

    desktop.tray = true;
    waiter.traySignalled();
    EXPECT_EQ(desktop.shown, 1);
    EXPECT_FALSE(waiter.isWaiting());
    EXPECT_EQ(desktop.reports.size(), 1u);
}

// A panel restarted while the app runs: each tray that appears anew gets the icon again, for the
// whole run; a tray that goes away is not told anything.
TEST(TrayWaiter, EveryTrayThatAppearsAfterTheFirstGetsTheIconAgain) {
    kestro::test::qtApplication();
    Desktop desktop;
    desktop.tray = true;
    TrayWaiter waiter(desktop.hooks());
    waiter.start();
    ASSERT_EQ(desktop.shown, 1);
    for (int restart = 1; restart <= 3; ++restart) {
        desktop.tray = false;
        waiter.traySignalled();
        EXPECT_EQ(desktop.shown, restart) << "shown again without a tray";
        desktop.tray = true;
        waiter.traySignalled();
        EXPECT_EQ(desktop.shown, restart + 1);
    }
    EXPECT_TRUE(desktop.reports.empty());
}

}  // namespace
