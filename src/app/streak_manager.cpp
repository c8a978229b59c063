#include "app/streak_manager.hpp"

#include <ctime>
#include <optional>
#include <system_error>

#include "platform/defaults/user_defaults.hpp"

namespace kestro {

namespace chr = std::chrono;

namespace {

// Monday of ISO week 1 of `year`: the week that holds 4 January.
chr::sys_days firstMonday(int year) {
    chr::sys_days fourth = chr::year_month_day{chr::year{year}, chr::January, chr::day{4}};
    return fourth - (chr::weekday{fourth} - chr::Monday);
}

std::int64_t weeksInYear(int year) {
    return (firstMonday(year + 1) - firstMonday(year)).count() / 7;
}

std::optional<chr::sys_days> mondayOf(std::int64_t week, std::int64_t year) {
    if (year < 1 || year > 9999 || week < 1 || week > weeksInYear(static_cast<int>(year))) return std::nullopt;
    return firstMonday(static_cast<int>(year)) + chr::days{7 * (week - 1)};
}

}  // namespace

StreakManager::IsoWeek StreakManager::isoWeek(chr::year_month_day day) {
    chr::sys_days date{day};
    int year = static_cast<int>(day.year());
    if (date >= firstMonday(year + 1)) {
        ++year;
    } else if (date < firstMonday(year)) {
        --year;
    }
    return IsoWeek{(date - firstMonday(year)).count() / 7 + 1, year};
}

std::int64_t StreakManager::weeksBetween(std::int64_t week, std::int64_t year, std::int64_t otherWeek,
                                         std::int64_t otherYear) {
    auto from = mondayOf(week, year);
    auto to = mondayOf(otherWeek, otherYear);
    if (!from || !to) return 0;
    return (*to - *from).count() / 7;
}

void StreakManager::saveStreak(std::int64_t count, std::int64_t week, std::int64_t year) const {
    try {
        defaults_->set(countKey, count);
        defaults_->set(lastWeekKey, week);
        defaults_->set(lastYearKey, year);
    } catch (const std::system_error&) {
        // An unwritable folder or a full disk: the store has said so, and the menu goes on with
        // the streak unsaved.
    }
}

namespace {

std::string textOf(std::int64_t count) {
    return count == 1 ? "1 Week Streak" : std::to_string(count) + " Week Streak";
}

chr::year_month_day localToday() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return chr::year_month_day{chr::year{local.tm_year + 1900}, chr::month{static_cast<unsigned>(local.tm_mon + 1)},
                               chr::day{static_cast<unsigned>(local.tm_mday)}};
}

}  // namespace

StreakManager::Counted StreakManager::count(chr::year_month_day today) const {
    auto [week, year] = isoWeek(today);
    std::int64_t lastWeek = defaults_->integer(lastWeekKey).value_or(0);
    std::int64_t lastYear = defaults_->integer(lastYearKey).value_or(0);
    std::int64_t count = defaults_->integer(countKey).value_or(0);

    if (lastWeek == 0 && lastYear == 0) return {1, week, year, true};
    if (lastYear < year || (lastYear == year && lastWeek < week)) {
        return {weeksBetween(lastWeek, lastYear, week, year) == 1 ? count + 1 : 1, week, year, true};
    }
    return {count, week, year, false};
}

std::string StreakManager::streakText() const { return streakText(localToday()); }

std::string StreakManager::streakText(chr::year_month_day today) const {
    auto counted = count(today);
    if (counted.changed) saveStreak(counted.count, counted.week, counted.year);
    return textOf(counted.count);
}

std::string StreakManager::upcomingStreakText() const { return upcomingStreakText(localToday()); }

std::string StreakManager::upcomingStreakText(chr::year_month_day today) const { return textOf(count(today).count); }

}  // namespace kestro
