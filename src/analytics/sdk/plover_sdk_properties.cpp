// How an event's properties are put together: device context, super-properties, groups, feature
// flags, person properties and the session, and whether the person is processed.

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/session/plover_session_manager.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/sanitizer.hpp"

namespace plover {

using Key = PloverStorage::StorageKey;

// ---- Property assembly ----

namespace {

// Adds the entries whose keys `into` does not hold yet.
void merge(Properties& into, const Properties& from) {
    for (auto& [key, value] : from) into.emplace(key, value);
}

bool isNonEmptyString(const Properties* properties, std::string_view key) {
    if (!properties) return false;
    auto found = properties->find(key);
    if (found == properties->end()) return false;
    auto* text = found->second.string();
    return text && !text->empty();
}

// A dictionary whose values are all strings, as groups; nothing for anything else.
std::optional<PloverSDK::Groups> groupsOf(const Value& value) {
    PloverSDK::Groups groups;
    if (auto* object = value.object()) {
        for (auto& [key, entry] : *object) {
            auto* text = entry.string();
            if (!text) return std::nullopt;
            groups.emplace(key, std::string(*text));
        }
        return groups;
    }
    if (auto* json = value.json(); json && json->is_object()) {
        for (auto& entry : json->get_object()) {
            if (!entry.value().is_string()) return std::nullopt;
            groups.emplace(std::string(entry.key()), std::string(entry.value().get_string()));
        }
        return groups;
    }
    return std::nullopt;
}

Value groupsValue(const PloverSDK::Groups& groups) {
    Properties object;
    for (auto& [type, key] : groups) object.emplace(type, Value(key));
    return Value(std::move(object));
}

}  // namespace

PloverSDK::Groups PloverSDK::storedGroupsLocked(const PloverStorage& storage) const {
    auto stored = storage.getJson(Key::groups);
    if (!stored) return {};
    return groupsOf(Value(*stored)).value_or(Groups{});
}

Properties PloverSDK::buildFeatureFlagProperties() {
    auto storage = this->storage();
    Properties result = storage ? storedSuperProperties(*storage) : Properties{};
    Groups groups;
    if (storage) {
        std::lock_guard lock(groupsLock_);
        groups = storedGroupsLocked(*storage);
    }
    if (!groups.empty()) result.insert_or_assign("$groups", groupsValue(groups));
    if (auto remoteConfig = this->remoteConfig()) {
        auto flags = remoteConfig->getCachedFeatureFlags();
        if (flags && !flags->empty()) {
            Value::Array active;
            for (auto& entry : *flags) {
                std::string key(entry.key());
                result.insert_or_assign("$feature/" + key, Value(entry.value()));
                if (entry.value().is_bool() && !entry.value().get_bool()) continue;
                active.emplace_back(key);
            }
            if (!active.empty()) result.insert_or_assign("$active_feature_flags", Value(std::move(active)));
        }
    }
    return result;
}

Properties PloverSDK::buildProperties(const std::string& distinctId, const std::optional<Properties>& properties,
                                      const std::optional<Properties>& userProperties,
                                      const std::optional<Properties>& userPropertiesSetOnce,
                                      const std::optional<Groups>& groups, bool appendSharedProps,
                                      const std::optional<Date>& timestamp) {
    Properties result;
    auto context = this->context();
    if (appendSharedProps) {
        if (context) {
            merge(result, context->theStaticContext());
            merge(result, context->dynamicContext());
        }
        merge(result, buildFeatureFlagProperties());
        if (userProperties) result.insert_or_assign("$set", Value(*userProperties));
        if (userPropertiesSetOnce) result.insert_or_assign("$set_once", Value(*userPropertiesSetOnce));
        if (groups) {
            Groups merged;
            if (auto found = result.find("$groups"); found != result.end()) {
                merged = groupsOf(found->second).value_or(Groups{});
            }
            for (auto& [type, key] : *groups) merged.emplace(type, key);
            result.insert_or_assign("$groups", groupsValue(merged));
        }
        if (auto storageManager = this->storageManager()) {
            result.insert_or_assign("$is_identified", Value(storageManager->isIdentified()));
        }
        result.insert_or_assign("$process_person_profile", Value(isPersonProcessingAllowed()));
    }
    if (context) merge(result, context->theSdkInfo());

    const Properties* given = properties ? &*properties : nullptr;
    if (!isNonEmptyString(given, "$session_id")) {
        auto at = timestamp.value_or(std::chrono::system_clock::now());
        if (auto sessionId = PloverSessionManager::shared()->getSessionId(at, false)) {
            result.insert_or_assign("$session_id", Value(*sessionId));
        }
    }
    if (!appendSharedProps && !isNonEmptyString(given, "distinct_id")) {
        result.insert_or_assign("distinct_id", Value(distinctId));
    }
    if (given) merge(result, *given);
    return result;
}

bool PloverSDK::isPersonProcessingAllowed() {
    switch (config()->personProfiles) {
        case PloverPersonProfiles::never:
            return false;
        case PloverPersonProfiles::always:
            return true;
        case PloverPersonProfiles::identifiedOnly:
            break;
    }
    auto storageManager = this->storageManager();
    if (!storageManager) return true;
    if (storageManager->isIdentified()) return true;
    return storageManager->isPersonProcessing();
}

bool PloverSDK::requirePersonProcessing() {
    if (config()->personProfiles == PloverPersonProfiles::never) {
        ploverLog("[Plover] personProfiles is set to `never`. This call will be ignored.");
        return false;
    }
    if (auto storageManager = this->storageManager()) storageManager->setPersonProcessing(true);
    return true;
}

}  // namespace plover
