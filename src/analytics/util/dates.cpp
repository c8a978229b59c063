#include "analytics/util/dates.hpp"

namespace plover {

namespace chrono = std::chrono;

namespace {

void appendNumber(std::string& out, long long value, int width) {
    if (value < 0) {
        out.push_back('-');
        value = -value;
    }
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (int pad = count; pad < width; ++pad) out.push_back('0');
    while (count > 0) out.push_back(digits[--count]);
}

std::string format(Date date, bool withMilliseconds) {
    auto ms = chrono::floor<chrono::milliseconds>(date);
    auto day = chrono::floor<chrono::days>(ms);
    chrono::year_month_day ymd{day};
    chrono::hh_mm_ss time{ms - day};
    std::string text;
    text.reserve(24);
    appendNumber(text, static_cast<int>(ymd.year()), 4);
    text.push_back('-');
    appendNumber(text, static_cast<unsigned>(ymd.month()), 2);
    text.push_back('-');
    appendNumber(text, static_cast<unsigned>(ymd.day()), 2);
    text.push_back('T');
    appendNumber(text, time.hours().count(), 2);
    text.push_back(':');
    appendNumber(text, time.minutes().count(), 2);
    text.push_back(':');
    appendNumber(text, time.seconds().count(), 2);
    if (withMilliseconds) {
        text.push_back('.');
        appendNumber(text, time.subseconds().count(), 3);
    }
    text.push_back('Z');
    return text;
}

// Reads exactly `width` ASCII digits at `at`.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t width) {
    if (at + width > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

std::string toISO8601String(Date date) { return format(date, true); }

std::string toISO8601SecondsString(Date date) { return format(date, false); }

std::optional<Date> toISO8601Date(std::string_view text) {
    // 2024-03-05T07:08:09Z or 2024-03-05T07:08:09.123Z
    if (text.size() != 20 && text.size() != 24) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
        text.back() != 'Z') {
        return std::nullopt;
    }
    auto year = digits(text, 0, 4);
    auto month = digits(text, 5, 2);
    auto day = digits(text, 8, 2);
    auto hour = digits(text, 11, 2);
    auto minute = digits(text, 14, 2);
    auto second = digits(text, 17, 2);
    std::optional<int> millisecond = 0;
    if (text.size() == 24) {
        if (text[19] != '.') return std::nullopt;
        millisecond = digits(text, 20, 3);
    }
    if (!year || !month || !day || !hour || !minute || !second || !millisecond) return std::nullopt;
    chrono::year_month_day ymd{chrono::year(*year), chrono::month(static_cast<unsigned>(*month)),
                               chrono::day(static_cast<unsigned>(*day))};
    if (!ymd.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
    auto milliseconds = chrono::duration_cast<chrono::milliseconds>(chrono::sys_days(ymd).time_since_epoch()) +
                        chrono::hours(*hour) + chrono::minutes(*minute) + chrono::seconds(*second) +
                        chrono::milliseconds(*millisecond);
    // A text from a file is not trusted to lie within what a point in time can hold.
    constexpr auto earliest = chrono::floor<chrono::milliseconds>(Date::min().time_since_epoch()) + chrono::seconds(1);
    constexpr auto latest = chrono::floor<chrono::milliseconds>(Date::max().time_since_epoch()) - chrono::seconds(1);
    if (milliseconds < earliest || milliseconds > latest) return std::nullopt;
    return Date(chrono::duration_cast<Date::duration>(milliseconds));
}

double secondsSince1970(Date date) {
    auto whole = chrono::floor<chrono::seconds>(date.time_since_epoch());
    auto fraction = chrono::duration<double>(date.time_since_epoch() - whole).count();
    return static_cast<double>(whole.count()) + fraction;
}

std::int64_t dateToMillis(Date date) {
    return chrono::duration_cast<chrono::milliseconds>(date.time_since_epoch()).count();
}

}  // namespace plover
