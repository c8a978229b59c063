#pragma once
// The fixed date texts of the wire and of stored events, always in UTC and with Gregorian
// calendar and Latin digits, whatever the process's locale and time zone.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plover {

using Date = std::chrono::system_clock::time_point;

// "yyyy-MM-dd'T'HH:mm:ss.SSS'Z'", e.g. 2024-03-05T07:08:09.123Z.
std::string toISO8601String(Date date);
// The milliseconds form, then the seconds form "yyyy-MM-dd'T'HH:mm:ss'Z'"; anything else gives nothing.
std::optional<Date> toISO8601Date(std::string_view text);
// The internet date-time without fractional seconds, e.g. 2024-03-05T07:08:09Z.
std::string toISO8601SecondsString(Date date);

// Seconds since 1970-01-01 00:00 UTC as a double, the whole seconds and their fraction rounded
// apart, so that 1709622489.123 s reads as that number and points a whole number of seconds apart
// differ by exactly that number.
double secondsSince1970(Date date);

// Milliseconds since 1970-01-01 00:00 UTC, truncated toward zero.
std::int64_t dateToMillis(Date date);

}  // namespace plover
