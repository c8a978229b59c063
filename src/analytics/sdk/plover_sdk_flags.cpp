// The application's side of feature flags: the person and group properties sent with flag
// requests, reloads, reading a flag, its on/off state and its payload, and the one
// "$feature_flag_called" event per flag that tells the service a flag was used, and opting out of
// (and back into) all capture.

#include <mutex>
#include <string>
#include <utility>

#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/util/sanitizer.hpp"

namespace plover {

using Key = PloverStorage::StorageKey;

namespace {

// The entry `key` of a JSON object as a value, JSON null when it is missing.
Value entryOrNull(const json::object& object, std::string_view key) {
    auto* found = object.if_contains(key);
    return found ? Value(*found) : Value(nullptr);
}

}  // namespace

// ---- Properties sent with flag requests ----

void PloverSDK::setPersonPropertiesForFlags(const Properties& properties) {
    setPersonPropertiesForFlags(properties, true);
}

void PloverSDK::setPersonPropertiesForFlags(const Properties& properties, bool reloadFeatureFlags) {
    if (!passesSetupGate() || !isPersonProcessingAllowed()) return;
    auto sanitized = sanitizeDictionary(properties);
    if (!sanitized || sanitized->empty()) return;
    auto remoteConfig = this->remoteConfig();
    if (!remoteConfig) return;
    remoteConfig->setPersonPropertiesForFlags(*sanitized);
    if (reloadFeatureFlags) remoteConfig->reloadFeatureFlags();
}

void PloverSDK::resetPersonPropertiesForFlags() {
    if (!passesSetupGate() || !isPersonProcessingAllowed()) return;
    if (auto remoteConfig = this->remoteConfig()) remoteConfig->resetPersonPropertiesForFlags();
}

void PloverSDK::setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties) {
    setGroupPropertiesForFlags(groupType, properties, true);
}

void PloverSDK::setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties,
                                           bool reloadFeatureFlags) {
    if (!passesSetupGate() || !isPersonProcessingAllowed()) return;
    auto sanitized = sanitizeDictionary(properties);
    if (!sanitized || sanitized->empty()) return;
    auto remoteConfig = this->remoteConfig();
    if (!remoteConfig) return;
    remoteConfig->setGroupPropertiesForFlags(groupType, *sanitized);
    if (reloadFeatureFlags) remoteConfig->reloadFeatureFlags();
}

void PloverSDK::resetGroupPropertiesForFlags() {
    if (!passesSetupGate() || !isPersonProcessingAllowed()) return;
    if (auto remoteConfig = this->remoteConfig()) remoteConfig->resetGroupPropertiesForFlags(std::nullopt);
}

void PloverSDK::resetGroupPropertiesForFlags(const std::string& groupType) {
    if (!passesSetupGate() || !isPersonProcessingAllowed()) return;
    if (auto remoteConfig = this->remoteConfig()) remoteConfig->resetGroupPropertiesForFlags(groupType);
}

// ---- Reloading and reading ----

void PloverSDK::reloadFeatureFlags() { reloadFeatureFlags(std::function<void()>()); }

void PloverSDK::reloadFeatureFlags(std::function<void()> callback) {
    if (!passesSetupGate()) return;
    auto remoteConfig = this->remoteConfig();
    if (!remoteConfig) return;
    // The answer may arrive after this instance is gone; the caller's callback still runs.
    std::weak_ptr<PloverSDK> weak = weak_from_this();
    remoteConfig->reloadFeatureFlags([weak, callback = std::move(callback)](std::optional<json::object>) {
        if (auto sdk = weak.lock()) {
            // Fresh flags: every flag is worth reporting once more.
            std::lock_guard lock(sdk->flagCallReportedLock_);
            sdk->flagCallReported_.clear();
        }
        if (callback) callback();
    });
}

std::optional<json::value> PloverSDK::getFeatureFlag(const std::string& key) {
    if (!passesSetupGate()) return std::nullopt;
    auto remoteConfig = this->remoteConfig();
    if (!remoteConfig) return std::nullopt;
    std::optional<json::value> value;
    if (auto flags = remoteConfig->getCachedFeatureFlags()) {
        if (auto* found = flags->if_contains(key)) value = *found;
    }
    if (config()->sendFeatureFlagEvent) reportFeatureFlagCalled(key, value);
    return value;
}

bool PloverSDK::isFeatureEnabled(const std::string& key) {
    auto value = getFeatureFlag(key);
    if (!value) return false;
    // A variant is on whatever its name.
    if (value->is_string()) return true;
    if (value->is_bool()) return value->get_bool();
    return false;
}

std::optional<json::value> PloverSDK::getFeatureFlagPayload(const std::string& key) {
    if (!passesSetupGate()) return std::nullopt;
    auto remoteConfig = this->remoteConfig();
    return remoteConfig ? remoteConfig->getFeatureFlagPayload(key) : std::nullopt;
}

// ---- Reporting flag use ----

void PloverSDK::reportFeatureFlagCalled(const std::string& flagKey, const std::optional<json::value>& value) {
    {
        std::lock_guard lock(flagCallReportedLock_);
        if (!flagCallReported_.insert(flagKey).second) return;
    }

    std::string requestId;
    std::optional<json::object> details;
    if (auto remoteConfig = this->remoteConfig()) {
        auto id = remoteConfig->requestId();
        if (!id) {
            if (auto storage = this->storage()) id = storage->getString(Key::requestId);
        }
        requestId = id.value_or(std::string());
        if (auto flags = remoteConfig->getCachedFlags()) {
            if (auto* found = flags->if_contains(flagKey); found && found->is_object())
                details = found->get_object();
        }
    }

    Properties properties{
        {"$feature_flag", Value(flagKey)},
        {"$feature_flag_response", value ? Value(*value) : Value(nullptr)},
        {"$feature_flag_request_id", Value(requestId)},
    };
    if (details) {
        if (auto* reason = details->if_contains("reason"); reason && reason->is_object()) {
            properties.emplace("$feature_flag_reason", entryOrNull(reason->get_object(), "description"));
        }
        if (auto* metadata = details->if_contains("metadata"); metadata && metadata->is_object()) {
            properties.emplace("$feature_flag_id", entryOrNull(metadata->get_object(), "id"));
            properties.emplace("$feature_flag_version", entryOrNull(metadata->get_object(), "version"));
        }
    }
    capture("$feature_flag_called", std::move(properties));
}

// ---- Opt-in and opt-out ----

bool PloverSDK::changeOptOut(bool optOut) {
    if (!passesSetupGate()) return false;
    // The state is tested and changed under setupLock_, so that two calls (or one racing close)
    // cannot both act; the opt-out lock nests inside it as it does in setup.
    std::lock_guard lock(setupLock_);
    if (!passesSetupGate()) return false;
    auto config = this->config();
    std::lock_guard optOutLock(optOutLock_);
    if (config->optOut.load() == optOut) return false;
    config->optOut.store(optOut);
    if (auto storage = this->storage()) storage->setJson(Key::optOut, Value(optOut));
    return true;
}

void PloverSDK::optIn() {
    if (changeOptOut(false)) syncIntegrations();
}

void PloverSDK::optOut() {
    if (changeOptOut(true)) syncIntegrations();
}

bool PloverSDK::isOptOut() {
    if (!passesSetupGate()) return true;
    return config()->optOut.load();
}

}  // namespace plover
