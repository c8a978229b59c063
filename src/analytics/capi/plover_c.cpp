// The C interface over PloverSDK: setup and teardown, the facade, capture, identify, flags and
// opt-out. Every entry point catches at this edge: no exception crosses into C, and a refused
// argument changes nothing.

#include "analytics/capi/plover.h"
#include "analytics/capi/plover_c_support.hpp"
#include "analytics/util/debug_log.hpp"

using namespace plover_capi;

extern "C" {

void plover_string_free(char* text) { std::free(text); }

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
        auto environment = plover::PloverSDKEnvironment::process();
        if (config->application) environment.application = *config->application;
        handle->sdk = plover::PloverSDK::with(config->config, std::move(environment));
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
        if (config->application) s.setApplication(*config->application);
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
