#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "app/streak_manager.hpp"
#include "app/usage_manager.hpp"
#include "app/usage_response.hpp"
#include "platform/defaults/user_defaults.hpp"
#include "support/backend_environment.hpp"

namespace {

namespace chr = std::chrono;
using kestro::StreakManager;

chr::year_month_day day(int y, unsigned m, unsigned d) { return chr::year{y} / chr::month{m} / chr::day{d}; }

class Streak : public ::testing::Test {
protected:
    // Uses the application on that day: the streak shown, then the stored count, week and year.
    std::string use(int y, unsigned m, unsigned d) {
        auto text = streak.streakText(day(y, m, d));
        auto stored = [&](std::string_view key) { return std::to_string(defaults.integer(std::string(key)).value_or(-1)); };
        return text + " | " + stored(StreakManager::countKey) + " " + stored(StreakManager::lastWeekKey) + " " +
               stored(StreakManager::lastYearKey);
    }

    support::TemporaryFolder folder;
    platform::UserDefaults defaults{folder.path() / "defaults.json"};
    StreakManager streak{defaults};
};

TEST_F(Streak, FirstUseConsecutiveWeeksGapsAndRepeatsWithinAWeek) {
    EXPECT_EQ(use(2026, 3, 4), "1 Week Streak | 1 10 2026");  // Wednesday of ISO week 10
    EXPECT_EQ(use(2026, 3, 8), "1 Week Streak | 1 10 2026");  // Sunday, same week
    EXPECT_EQ(use(2026, 3, 9), "2 Week Streak | 2 11 2026");  // Monday, next week
    EXPECT_EQ(use(2026, 3, 16), "3 Week Streak | 3 12 2026");
    EXPECT_EQ(use(2026, 3, 30), "1 Week Streak | 1 14 2026");  // a week skipped
    EXPECT_EQ(use(2026, 3, 2), "1 Week Streak | 1 14 2026");   // a clock that went back stores nothing
}

TEST(StreakStorage, AStoreThatCannotBeWrittenLeavesTheStreakShownAndUnsaved) {
    // The config folder cannot be made: a file stands in its place.
    support::TemporaryFolder folder;
    std::ofstream(folder.path() / "config") << "not a folder";
    platform::UserDefaults defaults(folder.path() / "config" / "kestro" / "defaults.json");
    StreakManager streak(defaults);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(streak.streakText(day(2026, 3, 4)), "1 Week Streak");
    EXPECT_EQ(streak.streakText(day(2026, 3, 9)), "1 Week Streak");
    EXPECT_NO_THROW(streak.streakText());
    EXPECT_FALSE(defaults.contains(StreakManager::countKey));
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

TEST_F(Streak, TheTurnOfTheYearIsAnOrdinaryWeek) {
    // 30 December 2024 opens ISO week 1 of 2025.
    EXPECT_EQ(use(2024, 12, 25), "1 Week Streak | 1 52 2024");
    EXPECT_EQ(use(2024, 12, 31), "2 Week Streak | 2 1 2025");
    EXPECT_EQ(use(2025, 1, 2), "2 Week Streak | 2 1 2025");
    EXPECT_EQ(use(2025, 1, 6), "3 Week Streak | 3 2 2025");
}

TEST_F(Streak, ALongYearsWeek53CountsAcrossNewYear) {
    // 2026 has 53 ISO weeks; week 53 runs from 28 December 2026 to 3 January 2027.
    EXPECT_EQ(use(2026, 12, 24), "1 Week Streak | 1 52 2026");
    EXPECT_EQ(use(2026, 12, 31), "2 Week Streak | 2 53 2026");
    EXPECT_EQ(use(2027, 1, 2), "2 Week Streak | 2 53 2026");
    EXPECT_EQ(use(2027, 1, 5), "3 Week Streak | 3 1 2027");
}

TEST(StreakWeeks, IsoWeeksAndTheDistanceBetweenThem) {
    auto week = [](int y, unsigned m, unsigned d) {
        auto iso = StreakManager::isoWeek(day(y, m, d));
        return std::to_string(iso.week) + "/" + std::to_string(iso.year);
    };
    EXPECT_EQ(week(2027, 1, 1), "53/2026");
    EXPECT_EQ(week(2024, 12, 30), "1/2025");
    EXPECT_EQ(week(2021, 1, 3), "53/2020");

    EXPECT_EQ(StreakManager::weeksBetween(52, 2024, 1, 2025), 1);
    EXPECT_EQ(StreakManager::weeksBetween(53, 2026, 1, 2027), 1);
    EXPECT_EQ(StreakManager::weeksBetween(1, 2025, 52, 2024), -1);
    EXPECT_EQ(StreakManager::weeksBetween(1, 2025, 1, 2026), 52);
    EXPECT_EQ(StreakManager::weeksBetween(53, 2025, 1, 2026), 0);  // 2025 has no week 53
    EXPECT_EQ(StreakManager::weeksBetween(0, 2025, 1, 2025), 0);
}

TEST(Usage, CountsReadAsTextAndCodeAsJson) {
    EXPECT_EQ(kestro::usageText(3, 10), "3/10");
    EXPECT_EQ(kestro::usageText(-1, 10), "?");
    EXPECT_EQ(kestro::usageText(3, -1), "?");

    EXPECT_EQ(kestro::encodeUsageResponse({3, 10}), R"({"used":3,"total":10})");
    EXPECT_EQ(kestro::decodeUsageResponse(R"({"total":10,"used":3,"other":true})"), (kestro::UsageResponse{3, 10}));
    for (const char* bad : {R"({"used":3})", R"({"used":3,"total":"10"})", R"({"used":3.5,"total":10})",
                            R"([3,10])", "", "used=3"}) {
        EXPECT_THROW(kestro::decodeUsageResponse(bad), kestro::UsageDecodingError) << bad;
    }
}

}  // namespace
