#pragma once
// The weekly streak: how many consecutive weeks the menu was opened in, kept in the user defaults.
// Weeks are ISO-8601 weeks (Monday to Sunday) numbered within their ISO week-based year, so the
// turn of a calendar year is an ordinary step from one week to the next.

#include <chrono>
#include <cstdint>
#include <string>

namespace platform {
class UserDefaults;
}

namespace kestro {

class StreakManager {
public:
    static constexpr const char* lastWeekKey = "Kestro_LastStreakWeek";
    static constexpr const char* lastYearKey = "Kestro_LastStreakYear";
    static constexpr const char* countKey = "Kestro_StreakCount";

    explicit StreakManager(platform::UserDefaults& defaults) : defaults_(&defaults) {}

    // Counts the current week (local time) and returns "N Week Streak".
    std::string streakText() const;
    // The same for the week that contains `today`.
    std::string streakText(std::chrono::year_month_day today) const;
    // What streakText() returns now, without counting the week: the menu's text before it is shown.
    std::string upcomingStreakText() const;
    std::string upcomingStreakText(std::chrono::year_month_day today) const;

    // Whole weeks from the first ISO week to the second (negative when the second is earlier);
    // 0 when either week does not exist.
    static std::int64_t weeksBetween(std::int64_t week, std::int64_t year, std::int64_t otherWeek,
                                     std::int64_t otherYear);
    void saveStreak(std::int64_t count, std::int64_t week, std::int64_t year) const;

    struct IsoWeek {
        std::int64_t week;
        std::int64_t year;
    };
    static IsoWeek isoWeek(std::chrono::year_month_day day);

private:
    // The streak counting the week of `today`, and whether that changes what is stored.
    struct Counted {
        std::int64_t count;
        std::int64_t week;
        std::int64_t year;
        bool changed;
    };
    Counted count(std::chrono::year_month_day today) const;

    platform::UserDefaults* defaults_;
};

}  // namespace kestro
