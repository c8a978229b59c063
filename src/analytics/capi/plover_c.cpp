// The C interface over PloverSDK and PloverConfig. Every entry point catches at this edge: no
// exception crosses into C, and a refused argument changes nothing.

#include "analytics/capi/plover.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analytics/capi/plover_c_handles.hpp"
#include "analytics/config/plover_config.hpp"
#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/util/dates.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/uuid.hpp"
#include "analytics/util/value.hpp"
#include "platform/json/json.hpp"

using plover::Properties;

namespace {

// An argument the caller must correct.
struct InvalidArgument : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// What the call had to keep could not be stored.
struct NotStored {};

template <class F>
plover_status guarded(F&& body) noexcept {
    try {
        body();
        return PLOVER_OK;
    } catch (const InvalidArgument&) {
        return PLOVER_INVALID_ARGUMENT;
    } catch (const NotStored&) {
        return PLOVER_NOT_STORED;
    } catch (...) {
        return PLOVER_FAILED;
    }
}

// Runs `body` for its result; `fallback` when it throws.
template <class T, class F>
T guardedValue(T fallback, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

char* copyOut(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

char* copyOut(const std::string& text) { return copyOut(std::string_view(text)); }
char* copyOut(const std::optional<std::string>& text) { return text ? copyOut(std::string_view(*text)) : nullptr; }

// A required string argument.
std::string text(const char* value) {
    if (!value) throw InvalidArgument("missing text");
    std::string_view view(value);
    if (!platform::json::isValidUtf8(view)) throw InvalidArgument("text is not UTF-8");
    return std::string(view);
}

std::optional<std::string> optionalText(const char* value) {
    if (!value) return std::nullopt;
    return text(value);
}

plover::json::value parseJson(const char* value) {
    std::string error;
    auto parsed = platform::json::read(value, &error);
    if (!parsed) throw InvalidArgument(error);
    return std::move(*parsed);
}

std::optional<Properties> optionalProperties(const char* json) {
    if (!json) return std::nullopt;
    auto value = parseJson(json);
    if (!value.is_object()) throw InvalidArgument("properties are not a JSON object");
    return plover::propertiesFromJson(value.as_object());
}

Properties properties(const char* json) {
    auto parsed = optionalProperties(json);
    if (!parsed) throw InvalidArgument("missing properties");
    return std::move(*parsed);
}

std::optional<plover::PloverSDK::Groups> optionalGroups(const char* json) {
    if (!json) return std::nullopt;
    auto value = parseJson(json);
    if (!value.is_object()) throw InvalidArgument("groups are not a JSON object");
    plover::PloverSDK::Groups groups;
    for (const auto& member : value.as_object()) {
        if (!member.value().is_string()) throw InvalidArgument("a group key is not a string");
        groups.emplace(std::string(member.key()), std::string(member.value().as_string()));
    }
    return groups;
}

// Seconds since 1970 as a point in time; refuses what the clock cannot hold.
plover::Date dateFromSeconds(double seconds) {
    // About ±3000 years: well inside the clock's range, so the conversion cannot overflow.
    constexpr double limit = 1e11;
    if (!std::isfinite(seconds) || std::fabs(seconds) > limit) throw InvalidArgument("time out of range");
    // Whole seconds and their fraction apart, so that a time read back is the one given.
    double whole = std::floor(seconds);
    auto fraction = std::chrono::nanoseconds(std::llround((seconds - whole) * 1e9));
    auto since = std::chrono::seconds(static_cast<long long>(whole)) + fraction;
    return plover::Date(std::chrono::duration_cast<std::chrono::system_clock::duration>(since));
}

// What a C callback's user data needs: its destroy function runs once, with the last holder.
struct UserData {
    void* data;
    plover_destroy_fn destroy;
    UserData(void* data, plover_destroy_fn destroy) : data(data), destroy(destroy) {}
    ~UserData() {
        if (destroy) destroy(data);
    }
    UserData(const UserData&) = delete;
    UserData& operator=(const UserData&) = delete;
};

// Holds the caller's data; when even that cannot be allocated, the data goes to its destroy
// function at once. Either way it is released exactly once, and nothing is thrown.
std::shared_ptr<UserData> holdUserData(void* data, plover_destroy_fn destroy) noexcept {
    try {
        return std::make_shared<UserData>(data, destroy);
    } catch (...) {
        if (destroy) destroy(data);
        return nullptr;
    }
}

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

plover::PloverEvent& eventOf(plover_event* event) {
    if (!event) throw InvalidArgument("missing event");
    return *reinterpret_cast<plover::PloverEvent*>(event);
}

const plover::PloverEvent& eventOf(const plover_event* event) {
    if (!event) throw InvalidArgument("missing event");
    return *reinterpret_cast<const plover::PloverEvent*>(event);
}

plover::PloverConfig& configOf(plover_config* config) {
    if (!config) throw InvalidArgument("missing configuration");
    return *config->config;
}

const plover::PloverConfig& configOf(const plover_config* config) {
    if (!config) throw InvalidArgument("missing configuration");
    return *config->config;
}

plover::PloverSDK& sdkOf(plover_sdk* sdk) {
    if (!sdk) throw InvalidArgument("missing instance");
    return *sdk->sdk;
}

std::optional<std::string> jsonText(const std::optional<plover::json::value>& value) {
    if (!value) return std::nullopt;
    return platform::json::write(*value);
}

}  // namespace

extern "C" {

void plover_string_free(char* text) { std::free(text); }

// ---- Configuration ----

plover_config* plover_config_new(const char* api_key, const char* host) {
    return guardedValue<plover_config*>(nullptr, [&] {
        auto key = text(api_key);
        auto given = optionalText(host);
        auto config = given ? std::make_shared<plover::PloverConfig>(std::move(key), *given)
                            : std::make_shared<plover::PloverConfig>(std::move(key));
        return new plover_config{std::move(config)};
    });
}

void plover_config_free(plover_config* config) { delete config; }

char* plover_config_get_host(const plover_config* config) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(configOf(config).host().absoluteString()); });
}

char* plover_config_get_api_key(const plover_config* config) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(configOf(config).apiKey()); });
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

// ---- Setup and teardown ----

plover_sdk* plover_sdk_shared(void) {
    return guardedValue<plover_sdk*>(nullptr, [] { return new plover_sdk{plover::PloverSDK::shared()}; });
}

plover_sdk* plover_sdk_with(plover_config* config) {
    if (!config) return nullptr;
    return guardedValue<plover_sdk*>(nullptr, [&]() -> plover_sdk* {
        if (auto& problem = config->config->hostProblem()) {
            plover::ploverWarn("[Plover] Setup refused: " + *problem + ".");
            return nullptr;
        }
        auto handle = std::make_unique<plover_sdk>();
        handle->sdk = plover::PloverSDK::with(config->config);
        return handle.release();
    });
}

void plover_sdk_free(plover_sdk* sdk) {
    // The instance itself may go with the last handle; its teardown does not throw.
    delete sdk;
}

plover_status plover_sdk_setup(plover_sdk* sdk, plover_config* config) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        if (!config) throw InvalidArgument("missing configuration");
        s.setup(config->config);
        if (config->config->hostProblem()) throw InvalidArgument("the host cannot be used");
    });
}

void plover_sdk_close(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).close(); });
}

void plover_sdk_debug(plover_sdk* sdk, bool enabled) {
    guarded([&] { sdkOf(sdk).debug(enabled); });
}

const char* plover_did_start_notification(void) { return plover::PloverSDK::didStartNotification.data(); }

const char* plover_did_receive_feature_flags_notification(void) {
    return plover::PloverSDK::didReceiveFeatureFlags.data();
}

// ---- Facade ----

void plover_flush(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).flush(); });
}

void plover_reset(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).reset(); });
}

plover_status plover_register_properties(plover_sdk* sdk, const char* properties_json) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        s.registerProperties(properties(properties_json));
    });
}

plover_status plover_unregister_properties(plover_sdk* sdk, const char* key) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        s.unregisterProperties(text(key));
    });
}

char* plover_get_distinct_id(plover_sdk* sdk) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(sdkOf(sdk).getDistinctId()); });
}

char* plover_get_anonymous_id(plover_sdk* sdk) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(sdkOf(sdk).getAnonymousId()); });
}

char* plover_get_session_id(plover_sdk* sdk) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(sdkOf(sdk).getSessionId()); });
}

void plover_start_session(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).startSession(); });
}

void plover_end_session(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).endSession(); });
}

// ---- Capture, identify, alias, screen and group ----

plover_status plover_capture(plover_sdk* sdk, const char* event, const char* distinct_id, const char* properties_json,
                             const char* user_properties_json, const char* user_properties_set_once_json,
                             const char* groups_json, const double* timestamp) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        auto name = text(event);
        auto distinctId = optionalText(distinct_id);
        auto props = optionalProperties(properties_json);
        auto userProperties = optionalProperties(user_properties_json);
        auto userPropertiesSetOnce = optionalProperties(user_properties_set_once_json);
        auto groups = optionalGroups(groups_json);
        std::optional<plover::Date> time;
        if (timestamp) time = dateFromSeconds(*timestamp);
        if (!s.capture(name, distinctId, props, userProperties, userPropertiesSetOnce, groups, time)) throw NotStored();
    });
}

plover_status plover_identify(plover_sdk* sdk, const char* distinct_id, const char* user_properties_json,
                              const char* user_properties_set_once_json) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        auto distinctId = text(distinct_id);
        auto userProperties = optionalProperties(user_properties_json);
        auto userPropertiesSetOnce = optionalProperties(user_properties_set_once_json);
        if (!s.identify(distinctId, userProperties, userPropertiesSetOnce)) throw NotStored();
    });
}

plover_status plover_alias(plover_sdk* sdk, const char* alias) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        s.alias(text(alias));
    });
}

plover_status plover_screen(plover_sdk* sdk, const char* title, const char* properties_json) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        auto screenTitle = text(title);
        s.screen(screenTitle, optionalProperties(properties_json));
    });
}

plover_status plover_group(plover_sdk* sdk, const char* type, const char* key, const char* group_properties_json) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        auto groupType = text(type);
        auto groupKey = text(key);
        s.group(groupType, groupKey, optionalProperties(group_properties_json));
    });
}

// ---- Feature flags and opt-out ----

plover_status plover_set_person_properties_for_flags(plover_sdk* sdk, const char* properties_json,
                                                     bool reload_feature_flags) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        s.setPersonPropertiesForFlags(properties(properties_json), reload_feature_flags);
    });
}

void plover_reset_person_properties_for_flags(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).resetPersonPropertiesForFlags(); });
}

plover_status plover_set_group_properties_for_flags(plover_sdk* sdk, const char* group_type,
                                                    const char* properties_json, bool reload_feature_flags) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        auto groupType = text(group_type);
        s.setGroupPropertiesForFlags(groupType, properties(properties_json), reload_feature_flags);
    });
}

plover_status plover_reset_group_properties_for_flags(plover_sdk* sdk, const char* group_type) {
    return guarded([&] {
        auto& s = sdkOf(sdk);
        auto groupType = optionalText(group_type);
        if (groupType) {
            s.resetGroupPropertiesForFlags(*groupType);
        } else {
            s.resetGroupPropertiesForFlags();
        }
    });
}

void plover_reload_feature_flags(plover_sdk* sdk, void (*callback)(void* user_data), void* user_data,
                                 plover_destroy_fn destroy) {
    auto userData = holdUserData(user_data, destroy);
    if (!userData) return;
    guarded([&] {
        auto& s = sdkOf(sdk);
        if (!callback) {
            s.reloadFeatureFlags();
            return;
        }
        // The user data goes with the last copy of the callback, called or not.
        s.reloadFeatureFlags([callback, userData] { callback(userData->data); });
    });
}

char* plover_get_feature_flag(plover_sdk* sdk, const char* key) {
    return guardedValue<char*>(nullptr, [&] { return copyOut(jsonText(sdkOf(sdk).getFeatureFlag(text(key)))); });
}

bool plover_is_feature_enabled(plover_sdk* sdk, const char* key) {
    return guardedValue(false, [&] { return sdkOf(sdk).isFeatureEnabled(text(key)); });
}

char* plover_get_feature_flag_payload(plover_sdk* sdk, const char* key) {
    return guardedValue<char*>(nullptr,
                               [&] { return copyOut(jsonText(sdkOf(sdk).getFeatureFlagPayload(text(key)))); });
}

void plover_opt_in(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).optIn(); });
}

void plover_opt_out(plover_sdk* sdk) {
    guarded([&] { sdkOf(sdk).optOut(); });
}

bool plover_is_opt_out(plover_sdk* sdk) {
    return guardedValue(true, [&] { return sdkOf(sdk).isOptOut(); });
}

}  // extern "C"
