#include <gtest/gtest.h>

#include <chrono>
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
    struct Stored {
        std::optional<std::int64_t> count, week, year;
        bool operator==(const Stored&) const = default;
    };
    Stored stored() const {
        return {defaults.integer(StreakManager::countKey), defaults.integer(StreakManager::lastWeekKey),
                defaults.integer(StreakManager::lastYearKey)};
    }

    support::TemporaryFolder folder;
    platform::UserDefaults defaults{folder.path() / "defaults.json"};
    StreakManager streak{defaults};
};

TEST_F(Streak, FirstUseConsecutiveWeeksGapsAndRepeatsWithinAWeek) {
    EXPECT_EQ(streak.streakText(day(2026, 3, 4)), "1 Week Streak");  // Wednesday of ISO week 10
    EXPECT_EQ(stored(), (Stored{1, 10, 2026}));
    EXPECT_EQ(streak.streakText(day(2026, 3, 8)), "1 Week Streak");  // Sunday, same week
    EXPECT_EQ(streak.streakText(day(2026, 3, 9)), "2 Week Streak");  // Monday, next week
    EXPECT_EQ(stored(), (Stored{2, 11, 2026}));
    EXPECT_EQ(streak.streakText(day(2026, 3, 16)), "3 Week Streak");
    EXPECT_EQ(streak.streakText(day(2026, 3, 30)), "1 Week Streak");  // a week skipped
    EXPECT_EQ(stored(), (Stored{1, 14, 2026}));
    // A clock that went back stores nothing.
    EXPECT_EQ(streak.streakText(day(2026, 3, 2)), "1 Week Streak");
    EXPECT_EQ(stored(), (Stored{1, 14, 2026}));
}

TEST_F(Streak, TheTurnOfTheYearIsAnOrdinaryWeek) {
    // 30 December 2024 opens ISO week 1 of 2025.
    EXPECT_EQ(streak.streakText(day(2024, 12, 25)), "1 Week Streak");
    EXPECT_EQ(stored(), (Stored{1, 52, 2024}));
    EXPECT_EQ(streak.streakText(day(2024, 12, 31)), "2 Week Streak");
    EXPECT_EQ(stored(), (Stored{2, 1, 2025}));
    EXPECT_EQ(streak.streakText(day(2025, 1, 2)), "2 Week Streak");
    EXPECT_EQ(streak.streakText(day(2025, 1, 6)), "3 Week Streak");
    EXPECT_EQ(stored(), (Stored{3, 2, 2025}));
}

TEST_F(Streak, ALongYearsWeek53CountsAcrossNewYear) {
    // 2026 has 53 ISO weeks; week 53 runs from 28 December 2026 to 3 January 2027.
    EXPECT_EQ(streak.streakText(day(2026, 12, 24)), "1 Week Streak");
    EXPECT_EQ(streak.streakText(day(2026, 12, 31)), "2 Week Streak");
    EXPECT_EQ(stored(), (Stored{2, 53, 2026}));
    EXPECT_EQ(streak.streakText(day(2027, 1, 2)), "2 Week Streak");
    EXPECT_EQ(stored(), (Stored{2, 53, 2026}));
    EXPECT_EQ(streak.streakText(day(2027, 1, 5)), "3 Week Streak");
    EXPECT_EQ(stored(), (Stored{3, 1, 2027}));
}

TEST(StreakWeeks, IsoWeeksAndTheDistanceBetweenThem) {
    EXPECT_EQ(StreakManager::isoWeek(day(2027, 1, 1)).week, 53);
    EXPECT_EQ(StreakManager::isoWeek(day(2027, 1, 1)).year, 2026);
    EXPECT_EQ(StreakManager::isoWeek(day(2024, 12, 30)).week, 1);
    EXPECT_EQ(StreakManager::isoWeek(day(2024, 12, 30)).year, 2025);
    EXPECT_EQ(StreakManager::isoWeek(day(2021, 1, 3)).week, 53);
    EXPECT_EQ(StreakManager::isoWeek(day(2021, 1, 3)).year, 2020);

    EXPECT_EQ(StreakManager::weeksBetween(52, 2024, 1, 2025), 1);
    EXPECT_EQ(StreakManager::weeksBetween(53, 2026, 1, 2027), 1);
    EXPECT_EQ(StreakManager::weeksBetween(1, 2025, 52, 2024), -1);
    EXPECT_EQ(StreakManager::weeksBetween(1, 2025, 1, 2026), 52);
    EXPECT_EQ(StreakManager::weeksBetween(53, 2025, 1, 2026), 0);  // 2025 has no week 53
    EXPECT_EQ(StreakManager::weeksBetween(0, 2025, 1, 2025), 0);
}

TEST(Usage, CountsReadAsTextAndCodeAsJson) {
    EXPECT_EQ(kestro::usageText(3, 10), "3/10");
    EXPECT_EQ(kestro::usageText(0, 5), "0/5");
    EXPECT_EQ(kestro::usageText(-1, 10), "?");
    EXPECT_EQ(kestro::usageText(3, -1), "?");
    kestro::UsageManager usage;
    EXPECT_EQ(usage.usedCalls.get(), -1);
    EXPECT_EQ(usage.totalCalls.get(), -1);

    EXPECT_EQ(kestro::encodeUsageResponse({3, 10}), R"({"used":3,"total":10})");
    EXPECT_EQ(kestro::decodeUsageResponse(R"({"total":10,"used":3,"other":true})"), (kestro::UsageResponse{3, 10}));
    for (const char* bad : {R"({"used":3})", R"({"used":3,"total":"10"})", R"({"used":3.5,"total":10})",
                            R"([3,10])", "", "used=3"}) {
        EXPECT_THROW(kestro::decodeUsageResponse(bad), kestro::UsageDecodingError) << bad;
    }
}

}  // namespace
