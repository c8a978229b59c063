// The streak's text before the menu is shown: what counting the week would give, with nothing
// stored until the week is counted.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/streak_manager.hpp"
#include "platform/defaults/user_defaults.hpp"
#include "support/backend_environment.hpp"

namespace {

namespace chr = std::chrono;
using kestro::StreakManager;

chr::year_month_day day(int y, unsigned m, unsigned d) { return chr::year{y} / chr::month{m} / chr::day{d}; }

TEST(UpcomingStreak, ReadsWhatCountingTheWeekWillGiveAndStoresNothing) {
    support::TemporaryFolder folder;
    platform::UserDefaults defaults{folder.path() / "defaults.json"};
    StreakManager streak{defaults};
    // Each day: the upcoming text, then the text counting that day gives; the upcoming one
    // stores nothing, so the count that follows it is the same.
    for (auto [when, expected] : {std::pair{day(2026, 3, 4), "1 Week Streak"},   // never used
                                  std::pair{day(2026, 3, 8), "1 Week Streak"},   // same week
                                  std::pair{day(2026, 3, 9), "2 Week Streak"},   // next week
                                  std::pair{day(2026, 3, 30), "1 Week Streak"},  // a week skipped
                                  std::pair{day(2026, 3, 2), "1 Week Streak"}})  // the clock went back
    {
        const auto storedBefore = defaults.integer(StreakManager::lastWeekKey);
        EXPECT_EQ(streak.upcomingStreakText(when), expected);
        EXPECT_EQ(defaults.integer(StreakManager::lastWeekKey), storedBefore) << "the upcoming text stored the week";
        EXPECT_EQ(streak.streakText(when), expected);
    }
    EXPECT_EQ(defaults.integer(StreakManager::countKey), 1);
    EXPECT_EQ(defaults.integer(StreakManager::lastWeekKey), 14);
}

}  // namespace
