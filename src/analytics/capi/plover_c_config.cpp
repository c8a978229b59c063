// The C interface's configuration and the event accessors that before-send functions use.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "analytics/capi/plover.h"
#include "analytics/capi/plover_c_support.hpp"
#include "analytics/util/uuid.hpp"

using namespace plover_capi;

namespace {

class CSanitizer : public plover::PloverPropertiesSanitizer {
public:
    CSanitizer(plover_sanitize_fn callback, std::shared_ptr<UserData> userData)
        : callback_(callback), userData_(std::move(userData)) {}

    Properties sanitize(Properties properties) override {
        auto json = plover::propertiesToJson(properties);
        if (!json) return properties;  // nothing the C side could read
        std::string written;
        try {
            written = platform::json::write(*json);
        } catch (const platform::json::InvalidUtf8&) {
            return properties;
        }
        std::unique_ptr<char, decltype(&std::free)> result(callback_(written.c_str(), userData_->data), &std::free);
        if (!result) return properties;
        auto parsed = platform::json::read(result.get());
        if (!parsed || !parsed->is_object()) return properties;
        return plover::propertiesFromJson(parsed->as_object());
    }

private:
    plover_sanitize_fn callback_;
    std::shared_ptr<UserData> userData_;
};

}  // namespace

extern "C" {

// ---- Configuration ----

plover_config* plover_config_new(const char* api_key, const char* host) {
    return guardedValue<plover_config*>(nullptr, [&] {
        auto key = text(api_key);
        auto given = optionalText(host);
        auto config = given ? std::make_shared<plover::PloverConfig>(std::move(key), *given)
                            : std::make_shared<plover::PloverConfig>(std::move(key));
        return new plover_config{std::move(config), std::nullopt};
    });
}

void plover_config_free(plover_config* config) { delete config; }

char* plover_config_get_host(const plover_config* config) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(configOf(config).host().absoluteString()); });
}

char* plover_config_get_api_key(const plover_config* config) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(configOf(config).apiKey()); });
}

plover_status plover_config_set_application(plover_config* config, const char* name, const char* version,
                                            const char* build) {
    return guarded([&] {
        configOf(config);
        auto application = plover::ApplicationInfo::current();
        application.name = optionalText(name);
        application.version = optionalText(version);
        application.build = optionalText(build);
        config->application = std::move(application);
    });
}

plover_status plover_config_set_int(plover_config* config, int field, long long value) {
    return guarded([&] {
        auto& c = configOf(config);
        auto asInt = [&] {
            if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
                throw InvalidArgument("value out of range");
            }
            return static_cast<int>(value);
        };
        switch (field) {
            case PLOVER_CONFIG_FLUSH_AT: c.flushAt = asInt(); return;
            case PLOVER_CONFIG_MAX_QUEUE_SIZE: c.maxQueueSize = asInt(); return;
            case PLOVER_CONFIG_MAX_BATCH_SIZE: c.maxBatchSize = asInt(); return;
            case PLOVER_CONFIG_DATA_MODE: {
                auto mode = plover::PloverConfig::dataModeFromRawValue(asInt());
                if (!mode) throw InvalidArgument("no such data mode");
                c.dataMode = *mode;
                return;
            }
            case PLOVER_CONFIG_PERSON_PROFILES: {
                auto profiles = plover::personProfilesFromRawValue(asInt());
                if (!profiles) throw InvalidArgument("no such person profiles");
                c.personProfiles = *profiles;
                return;
            }
        }
        throw InvalidArgument("no such field");
    });
}

long long plover_config_get_int(const plover_config* config, int field) {
    return guardedValue<long long>(0, [&]() -> long long {
        const auto& c = configOf(config);
        switch (field) {
            case PLOVER_CONFIG_FLUSH_AT: return c.flushAt;
            case PLOVER_CONFIG_MAX_QUEUE_SIZE: return c.maxQueueSize;
            case PLOVER_CONFIG_MAX_BATCH_SIZE: return c.maxBatchSize;
            case PLOVER_CONFIG_DATA_MODE: return static_cast<long long>(c.dataMode);
            case PLOVER_CONFIG_PERSON_PROFILES: return static_cast<long long>(c.personProfiles);
        }
        return 0;
    });
}

namespace {

// The Boolean field, or nothing for an unknown one; `optOut` is atomic and handled apart.
bool* boolField(plover::PloverConfig& c, int field) {
    switch (field) {
        case PLOVER_CONFIG_SEND_FEATURE_FLAG_EVENT: return &c.sendFeatureFlagEvent;
        case PLOVER_CONFIG_PRELOAD_FEATURE_FLAGS: return &c.preloadFeatureFlags;
        case PLOVER_CONFIG_REMOTE_CONFIG: return &c.remoteConfig;
        case PLOVER_CONFIG_CAPTURE_APPLICATION_LIFECYCLE_EVENTS: return &c.captureApplicationLifecycleEvents;
        case PLOVER_CONFIG_CAPTURE_SCREEN_VIEWS: return &c.captureScreenViews;
        case PLOVER_CONFIG_DEBUG: return &c.debug;
        case PLOVER_CONFIG_REUSE_ANONYMOUS_ID: return &c.reuseAnonymousId;
        case PLOVER_CONFIG_SET_DEFAULT_PERSON_PROPERTIES: return &c.setDefaultPersonProperties;
        case PLOVER_CONFIG_SURVEYS: return &c.surveys;
        case PLOVER_CONFIG_OPT_OUT: break;
    }
    return nullptr;
}

}  // namespace

plover_status plover_config_set_bool(plover_config* config, int field, bool value) {
    return guarded([&] {
        auto& c = configOf(config);
        if (field == PLOVER_CONFIG_OPT_OUT) {
            c.optOut = value;
            return;
        }
        bool* target = boolField(c, field);
        if (!target) throw InvalidArgument("no such field");
        *target = value;
    });
}

bool plover_config_get_bool(const plover_config* config, int field) {
    return guardedValue(false, [&] {
        // The field is only read here.
        auto& c = const_cast<plover::PloverConfig&>(configOf(config));
        if (field == PLOVER_CONFIG_OPT_OUT) return c.optOut.load();
        const bool* target = boolField(c, field);
        return target ? *target : false;
    });
}

plover_status plover_config_set_flush_interval_seconds(plover_config* config, double seconds) {
    return guarded([&] {
        auto& c = configOf(config);
        if (!std::isfinite(seconds)) throw InvalidArgument("interval is not finite");
        c.flushIntervalSeconds = seconds;
    });
}

double plover_config_get_flush_interval_seconds(const plover_config* config) {
    return guardedValue(0.0, [&] { return configOf(config).flushIntervalSeconds; });
}

plover_status plover_config_set_string(plover_config* config, int field, const char* value) {
    return guarded([&] {
        auto& c = configOf(config);
        switch (field) {
            case PLOVER_CONFIG_APP_GROUP_IDENTIFIER: c.appGroupIdentifier = optionalText(value); return;
            case PLOVER_CONFIG_SNAPSHOT_ENDPOINT: c.setSnapshotEndpoint(text(value)); return;
        }
        throw InvalidArgument("no such field");
    });
}

char* plover_config_get_string(const plover_config* config, int field) {
    return guardedValue<char*>(nullptr, [&]() -> char* {
        const auto& c = configOf(config);
        switch (field) {
            case PLOVER_CONFIG_APP_GROUP_IDENTIFIER: return copyOut(c.appGroupIdentifier);
            case PLOVER_CONFIG_SNAPSHOT_ENDPOINT: return copyOut(c.snapshotEndpoint());
        }
        return nullptr;
    });
}

plover_status plover_config_set_get_anonymous_id(plover_config* config, plover_anonymous_id_fn callback,
                                                 void* user_data, plover_destroy_fn destroy) {
    // Taken first, so that the destroy function runs also when the call is refused.
    auto userData = holdUserData(user_data, destroy);
    if (!userData) return PLOVER_FAILED;
    return guarded([&] {
        auto& c = configOf(config);
        if (!callback) {
            c.getAnonymousId = plover::PloverConfig::keepGeneratedAnonymousId;
            return;
        }
        c.getAnonymousId = [callback, userData](plover::Uuid generated) {
            auto generatedText = generated.toString();
            char replacement[PLOVER_UUID_STRING_SIZE] = {};
            std::memcpy(replacement, generatedText.c_str(), std::min(generatedText.size(), sizeof replacement - 1));
            callback(generatedText.c_str(), replacement, userData->data);
            replacement[PLOVER_UUID_STRING_SIZE - 1] = '\0';
            return plover::Uuid::parse(replacement).value_or(generated);
        };
    });
}

plover_status plover_config_set_properties_sanitizer(plover_config* config, plover_sanitize_fn callback,
                                                     void* user_data, plover_destroy_fn destroy) {
    auto userData = holdUserData(user_data, destroy);
    if (!userData) return PLOVER_FAILED;
    return guarded([&] {
        auto& c = configOf(config);
        c.propertiesSanitizer = callback ? std::make_shared<CSanitizer>(callback, userData) : nullptr;
    });
}

plover_before_send* plover_before_send_new(plover_before_send_fn callback, void* user_data, plover_destroy_fn destroy) {
    auto userData = holdUserData(user_data, destroy);
    if (!userData || !callback) return nullptr;
    return guardedValue<plover_before_send*>(nullptr, [&] {
        plover::PloverConfig::BeforeSend function = [callback, userData](plover::PloverEvent event)
            -> std::optional<plover::PloverEvent> {
            if (!callback(reinterpret_cast<plover_event*>(&event), userData->data)) return std::nullopt;
            return event;
        };
        return new plover_before_send{std::move(function)};
    });
}

void plover_before_send_free(plover_before_send* box) { delete box; }

plover_status plover_config_set_before_send(plover_config* config, plover_before_send* const* boxes, size_t count) {
    return guarded([&] {
        auto& c = configOf(config);
        if (count > 0 && !boxes) throw InvalidArgument("missing functions");
        std::vector<plover::PloverConfig::BeforeSend> functions;
        functions.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            if (!boxes[i]) throw InvalidArgument("missing function");
            functions.push_back(boxes[i]->function);
        }
        c.setBeforeSend(std::move(functions));
    });
}

// ---- Events ----

char* plover_event_get_event(const plover_event* event) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(eventOf(event).event); });
}

plover_status plover_event_set_event(plover_event* event, const char* name) {
    return guarded([&] {
        auto& e = eventOf(event);
        e.event = text(name);
    });
}

char* plover_event_get_distinct_id(const plover_event* event) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(eventOf(event).distinctId); });
}

plover_status plover_event_set_distinct_id(plover_event* event, const char* distinct_id) {
    return guarded([&] {
        auto& e = eventOf(event);
        e.distinctId = text(distinct_id);
    });
}

char* plover_event_get_properties(const plover_event* event) {
    return guardedValue<char*>(nullptr, [&]() -> char* {
        auto json = plover::propertiesToJson(eventOf(event).properties);
        if (!json) return nullptr;
        return copyOut(platform::json::write(*json));
    });
}

plover_status plover_event_set_properties(plover_event* event, const char* properties_json) {
    return guarded([&] {
        auto& e = eventOf(event);
        e.properties = properties(properties_json);
    });
}

double plover_event_get_timestamp(const plover_event* event) {
    return guardedValue(0.0, [&] { return plover::secondsSince1970(eventOf(event).timestamp); });
}

plover_status plover_event_set_timestamp(plover_event* event, double seconds_since_1970) {
    return guarded([&] {
        auto& e = eventOf(event);
        e.timestamp = dateFromSeconds(seconds_since_1970);
    });
}

char* plover_event_get_uuid(const plover_event* event) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(eventOf(event).uuid().toString()); });
}

plover_status plover_event_set_uuid(plover_event* event, const char* uuid) {
    return guarded([&] {
        auto& e = eventOf(event);
        auto parsed = plover::Uuid::parse(text(uuid));
        if (!parsed) throw InvalidArgument("not a UUID");
        e.setUuid(*parsed);
    });
}

}  // extern "C"
