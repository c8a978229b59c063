#pragma once
// The one event record: built by the capture road, rewritten or dropped by the before-send
// functions, stored by the queue as one JSON file and sent by the HTTP client.

#include <optional>
#include <string>
#include <string_view>

#include "analytics/util/dates.hpp"
#include "analytics/util/json.hpp"
#include "analytics/util/uuid.hpp"
#include "analytics/util/value.hpp"

namespace plover {

class PloverEvent {
public:
    PloverEvent(std::string event, std::string distinctId, Properties properties, Date timestamp, Uuid uuid,
                std::optional<std::string> apiKey = std::nullopt);

    // Name, person, properties and time may be changed by before-send functions.
    std::string event;
    std::string distinctId;
    Properties properties;
    Date timestamp;

    const Uuid& uuid() const { return uuid_; }
    // Before-send functions written in C may replace the identity as well.
    void setUuid(const Uuid& uuid) { uuid_ = uuid; }

    // The project key carried inside the event's JSON; only the client itself sets it.
    const std::optional<std::string>& apiKey() const { return apiKey_; }
    void setApiKey(std::optional<std::string> apiKey) { apiKey_ = std::move(apiKey); }

    // "event", "distinct_id", "properties", "timestamp", "uuid", and "api_key" when present.
    // Throws JsonWriteError when a property has no JSON form.
    json::object toJSON() const;
    // An event read back from its stored JSON; nothing without a name or a distinct id.
    static std::optional<PloverEvent> fromJSON(const json::object& object);

private:
    Uuid uuid_;
    std::optional<std::string> apiKey_;
};

// The position of one of the client's own event names ("$snapshot" 0 ... "$feature_flag_called" 9),
// compared exactly; 10 for every other name.
int sdkEventIndex(std::string_view name);

}  // namespace plover
