#include "analytics/util/sanitizer.hpp"

#include "analytics/util/debug_log.hpp"

namespace plover {

bool isJSONSerializable(const Value& value) { return value.toJson().has_value(); }

std::optional<Properties> sanitizeDictionary(const std::optional<Properties>& properties) {
    if (!properties || properties->empty()) return std::nullopt;
    Properties sanitized = *properties;
    for (auto& [key, value] : *properties) {
        if (isJSONSerializable(value)) continue;
        if (auto* url = value.url()) {
            sanitized[key] = Value(url->absoluteString());
        } else if (auto* date = value.date()) {
            sanitized[key] = Value(toISO8601SecondsString(*date));
        } else {
            sanitized.erase(key);
            ploverLog("property: " + key + " isn't serializable, dropping the item");
        }
    }
    return sanitized;
}

}  // namespace plover
