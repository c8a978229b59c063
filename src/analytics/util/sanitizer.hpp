#pragma once
// Cleaning of caller-supplied properties into values that can be written as JSON.

#include <optional>

#include "analytics/util/value.hpp"

namespace plover {

// Whether a value may stay in an event's properties unchanged: strings, booleans, finite numbers,
// null, and arrays and objects holding only such values.
bool isJSONSerializable(const Value& value);

// Absent or empty properties give absent. Otherwise a copy in which a top-level URL becomes its
// absolute string, a top-level point in time becomes its seconds-precision UTC text, and every
// other value without a JSON form is removed with a debug-log line. The copy may end up empty.
std::optional<Properties> sanitizeDictionary(const std::optional<Properties>& properties);

}  // namespace plover
