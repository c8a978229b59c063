#include "analytics/event/plover_event.hpp"

#include <array>
#include <chrono>

#include "analytics/util/time_based_epoch_generator.hpp"

namespace plover {

namespace {

constexpr std::array<std::string_view, 10> sdkEventNames = {
    "$snapshot",   "$screen",   "$set",           "survey dismissed", "survey sent",
    "survey shown", "$identify", "$groupidentify", "$create_alias",    "$feature_flag_called",
};

const json::string* stringAt(const json::object& object, std::string_view key) {
    auto* value = object.if_contains(key);
    return value ? value->if_string() : nullptr;
}

}  // namespace

PloverEvent::PloverEvent(std::string event, std::string distinctId, Properties properties, Date timestamp, Uuid uuid,
                         std::optional<std::string> apiKey)
    : event(std::move(event)),
      distinctId(std::move(distinctId)),
      properties(std::move(properties)),
      timestamp(timestamp),
      uuid_(uuid),
      apiKey_(std::move(apiKey)) {}

json::object PloverEvent::toJSON() const {
    json::object object;
    object["event"] = event;
    object["distinct_id"] = distinctId;
    object["properties"] = writeProperties(properties);
    object["timestamp"] = toISO8601String(timestamp);
    object["uuid"] = uuid_.toString();
    if (apiKey_) object["api_key"] = *apiKey_;
    return object;
}

std::optional<PloverEvent> PloverEvent::fromJSON(const json::object& object) {
    auto* name = stringAt(object, "event");
    if (!name) return std::nullopt;

    auto now = std::chrono::system_clock::now();
    auto* timestampText = stringAt(object, "timestamp");
    std::string text = timestampText ? std::string(*timestampText) : toISO8601String(now);
    Date timestamp = toISO8601Date(text).value_or(now);

    Properties properties;
    if (auto* value = object.if_contains("properties"); value && value->is_object()) {
        properties = propertiesFromJson(value->get_object());
    }
    // Events stored by older versions carry "$set" beside the properties.
    if (auto* set = object.if_contains("$set"); set && set->is_object()) properties["$set"] = Value(*set);

    std::string distinctId;
    if (auto* id = stringAt(object, "distinct_id")) {
        distinctId = *id;
    } else if (auto found = properties.find("distinct_id"); found != properties.end() && found->second.string()) {
        distinctId = *found->second.string();
    } else {
        return std::nullopt;
    }

    std::optional<Uuid> uuid;
    if (auto* id = stringAt(object, "uuid")) {
        uuid = Uuid::parse(*id);
    } else if (auto* messageId = stringAt(object, "message_id")) {
        uuid = Uuid::parse(*messageId);
    }
    if (!uuid) uuid = TimeBasedEpochGenerator::v7();

    std::optional<std::string> apiKey;
    if (auto* key = stringAt(object, "api_key")) apiKey = std::string(*key);

    return PloverEvent(std::string(*name), std::move(distinctId), std::move(properties), timestamp, *uuid,
                       std::move(apiKey));
}

int sdkEventIndex(std::string_view name) {
    for (std::size_t i = 0; i < sdkEventNames.size(); ++i) {
        if (sdkEventNames[i] == name) return static_cast<int>(i);
    }
    return static_cast<int>(sdkEventNames.size());
}

}  // namespace plover
