#include "analytics/flags/plover_remote_config.hpp"

#include <boost/asio/post.hpp>
#include <utility>
#include <vector>

#include "analytics/config/plover_config.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics/util/debug_log.hpp"

namespace plover {

namespace {

using Key = PloverStorage::StorageKey;

std::optional<json::object> asObject(const std::optional<json::value>& value) {
    if (!value || !value->is_object()) return std::nullopt;
    return value->as_object();
}

const json::value* find(const json::object& object, std::string_view key) {
    auto found = object.find(key);
    return found == object.end() ? nullptr : &found->value();
}

const json::object* findObject(const json::object& object, std::string_view key) {
    const auto* value = find(object, key);
    return value && value->is_object() ? &value->as_object() : nullptr;
}

// The response's value wins on equal keys; keys only in `base` stay.
json::object merged(std::optional<json::object> base, const json::object& over) {
    json::object result = base ? std::move(*base) : json::object();
    for (const auto& entry : over) result[entry.key()] = entry.value();
    return result;
}

bool quotaLimitsFlags(const json::object& response) {
    const auto* limited = find(response, "quotaLimited");
    if (!limited || !limited->is_array()) return false;
    for (const auto& entry : limited->as_array()) {
        if (!entry.is_string()) return false;
    }
    for (const auto& entry : limited->as_array()) {
        if (entry.as_string() == "feature_flags") return true;
    }
    return false;
}

// Turns the detailed records of the newer answer format into the enabled flags and payloads.
void normalise(json::object& response) {
    const auto* details = findObject(response, "flags");
    if (!details) return;
    json::object enabled;
    json::object payloads;
    for (const auto& entry : *details) {
        if (!entry.value().is_object()) continue;
        const auto& record = entry.value().as_object();
        const json::value* payload = nullptr;
        if (const auto* metadata = findObject(record, "metadata")) payload = find(*metadata, "payload");
        const auto* variant = find(record, "variant");
        const auto* isEnabled = find(record, "enabled");
        if (variant && variant->is_string()) {
            enabled[entry.key()] = *variant;
            if (payload) payloads[entry.key()] = *payload;
        } else if (isEnabled && isEnabled->is_bool()) {
            enabled[entry.key()] = isEnabled->as_bool();
            if (isEnabled->as_bool() && payload) payloads[entry.key()] = *payload;
        }
    }
    response["featureFlags"] = std::move(enabled);
    response["featureFlagPayloads"] = std::move(payloads);
}

}  // namespace

std::shared_ptr<PloverRemoteConfig> PloverRemoteConfig::create(
    std::shared_ptr<PloverConfig> config, std::shared_ptr<const PloverStorage> storage,
    std::shared_ptr<PloverRemoteConfigRequests> api, std::function<Properties()> getDefaultPersonProperties,
    boost::asio::any_io_executor background, boost::asio::any_io_executor main, platform::NotificationCenter& center) {
    std::shared_ptr<PloverRemoteConfig> remoteConfig(
        new PloverRemoteConfig(std::move(config), std::move(storage), std::move(api),
                               std::move(getDefaultPersonProperties), std::move(background), std::move(main), center));
    remoteConfig->start();
    return remoteConfig;
}

PloverRemoteConfig::PloverRemoteConfig(std::shared_ptr<PloverConfig> config, std::shared_ptr<const PloverStorage> storage,
                                       std::shared_ptr<PloverRemoteConfigRequests> api,
                                       std::function<Properties()> getDefaultPersonProperties,
                                       boost::asio::any_io_executor background, boost::asio::any_io_executor main,
                                       platform::NotificationCenter& center)
    : config_(std::move(config)),
      storage_(std::move(storage)),
      api_(std::move(api)),
      getDefaultPersonProperties_(std::move(getDefaultPersonProperties)),
      dispatchQueue_(boost::asio::make_strand(std::move(background))),
      main_(std::move(main)),
      center_(center) {}

void PloverRemoteConfig::start() {
    {
        std::lock_guard lock(personPropertiesForFlagsLock_);
        if (auto stored = asObject(storage_->getJson(Key::personPropertiesForFlags))) {
            personPropertiesForFlags_ = propertiesFromJson(*stored);
        }
    }
    {
        std::lock_guard lock(groupPropertiesForFlagsLock_);
        if (auto stored = asObject(storage_->getJson(Key::groupPropertiesForFlags))) {
            GroupPropertiesForFlags groups;
            bool usable = true;
            for (const auto& entry : *stored) {
                if (!entry.value().is_object()) {
                    usable = false;
                    break;
                }
                groups[std::string(entry.key())] = propertiesFromJson(entry.value().as_object());
            }
            if (usable) groupPropertiesForFlags_ = std::move(groups);
        }
    }
    std::optional<json::object> sessionReplay;
    {
        std::lock_guard lock(featureFlagsLock_);
        sessionReplay = asObject(storage_->getJson(Key::sessionReplay));
        cached(featureFlags_, Key::enabledFeatureFlags);
    }
    if (sessionReplay) {
        const auto* endpoint = find(*sessionReplay, "endpoint");
        if (endpoint && endpoint->is_string()) config_->setSnapshotEndpoint(std::string(endpoint->as_string()));
    }
    if (config_->remoteConfig) {
        loadRemoteConfig();
    } else if (config_->preloadFeatureFlags) {
        loadFeatureFlags();
    }
}

std::optional<json::object>& PloverRemoteConfig::cached(std::optional<json::object>& field, Key key) {
    if (!field) field = asObject(storage_->getJson(key));
    return field;
}

void PloverRemoteConfig::loadRemoteConfig() {
    bool held = false;
    {
        std::lock_guard lock(remoteConfigLock_);
        held = cached(remoteConfig_, Key::remoteConfig).has_value();
    }
    {
        std::lock_guard lock(loadingRemoteConfigLock_);
        if (held && remoteConfigDidFetch_) return;
    }
    std::weak_ptr<PloverRemoteConfig> weak = weak_from_this();
    boost::asio::post(dispatchQueue_, [weak] {
        auto self = weak.lock();
        if (!self) return;
        if (!self->config_->remoteConfig) {
            self->afterRemoteConfig(std::nullopt);
            return;
        }
        // Storing the answer keeps the store alive; going on from it does not.
        self->api_->remoteConfig([self](std::optional<json::object> answer, std::exception_ptr) {
            boost::asio::post(self->dispatchQueue_, [self, answer = std::move(answer)]() mutable {
                if (answer) {
                    std::lock_guard lock(self->remoteConfigLock_);
                    self->remoteConfig_ = *answer;
                    self->storage_->setJson(Key::remoteConfig, Value(json::value(*answer)));
                }
                {
                    std::lock_guard lock(self->loadingRemoteConfigLock_);
                    self->remoteConfigDidFetch_ = true;
                }
                std::weak_ptr<PloverRemoteConfig> weak = self;
                self.reset();
                if (auto alive = weak.lock()) alive->afterRemoteConfig(answer);
            });
        });
    });
}

void PloverRemoteConfig::afterRemoteConfig(const std::optional<json::object>& remoteConfig) {
    if (!remoteConfig) {
        ploverLog("[Plover] Remote config response is missing, skipping loading flags");
        notify();
        return;
    }
    const auto* hasFlags = find(*remoteConfig, hasFeatureFlagsKey);
    if (hasFlags && hasFlags->is_bool() && !hasFlags->as_bool()) {
        ploverLog("[Plover] hasFeatureFlags is false, clearing flags and skipping loading flags");
        clearFeatureFlags();
        notify();
        return;
    }
    if (config_->preloadFeatureFlags) loadFeatureFlags();
}

void PloverRemoteConfig::loadFeatureFlags() {
    {
        std::lock_guard lock(featureFlagsLock_);
        cached(featureFlags_, Key::enabledFeatureFlags);
    }
    if (!config_->preloadFeatureFlags) return;
    std::weak_ptr<PloverRemoteConfig> weak = weak_from_this();
    boost::asio::post(dispatchQueue_, [weak] {
        if (auto self = weak.lock()) self->reloadFeatureFlags();
    });
}

void PloverRemoteConfig::reloadFeatureFlags(FlagsCallback callback) {
    if (!callback) callback = [](std::optional<json::object>) {};
    auto storageManager = config_->storageManager;
    if (!storageManager) {
        ploverLog("[Plover] No PloverStorageManager found in config, skipping loading feature flags");
        callback(std::nullopt);
        return;
    }
    PloverApi::Groups groups;
    {
        std::lock_guard lock(featureFlagsLock_);
        if (auto stored = asObject(storage_->getJson(Key::groups))) {
            for (const auto& entry : *stored) {
                if (!entry.value().is_string()) {
                    groups.clear();
                    break;
                }
                groups[std::string(entry.key())] = std::string(entry.value().as_string());
            }
        }
    }
    const std::string distinctId = storageManager->getDistinctId();
    std::optional<std::string> anonymousId;
    if (!config_->reuseAnonymousId) anonymousId = storageManager->getAnonymousId();
    Properties personProperties;
    {
        std::lock_guard lock(personPropertiesForFlagsLock_);
        if (config_->setDefaultPersonProperties && getDefaultPersonProperties_) {
            personProperties = getDefaultPersonProperties_();
            for (const auto& [key, value] : personPropertiesForFlags_) personProperties[key] = value;
        } else {
            personProperties = personPropertiesForFlags_;
        }
    }
    std::optional<PloverApi::GroupProperties> groupProperties;
    {
        std::lock_guard lock(groupPropertiesForFlagsLock_);
        if (!groupPropertiesForFlags_.empty()) groupProperties = groupPropertiesForFlags_;
    }
    const std::uint64_t request = nextRequest_.fetch_add(1);
    std::weak_ptr<PloverRemoteConfig> weak = weak_from_this();
    api_->flags(distinctId, anonymousId, groups, personProperties, groupProperties,
                [weak, request, callback = std::move(callback)](std::optional<json::object> response,
                                                                std::exception_ptr) {
                    auto self = weak.lock();
                    if (!self) return;
                    boost::asio::post(self->dispatchQueue_,
                                      [weak, request, callback, response = std::move(response)]() mutable {
                                          if (auto self = weak.lock()) {
                                              self->handleFlagsResponse(std::move(response), request, callback);
                                          }
                                      });
                });
}

void PloverRemoteConfig::handleFlagsResponse(std::optional<json::object> response, std::uint64_t request,
                                             const FlagsCallback& callback) {
    if (!response) {
        ploverLog("[Plover] Error: Flags response data is nil");
        notify();
        callback(std::nullopt);
        return;
    }
    {
        // Answers may arrive out of order; one to a request older than the newest answer already
        // applied would bring back flags the service has since changed.
        std::unique_lock lock(featureFlagsLock_);
        if (newestApplied_ && request < *newestApplied_) {
            auto current = cached(featureFlags_, Key::enabledFeatureFlags);
            lock.unlock();
            ploverLog("[Plover] Ignoring a flags response older than the flags already loaded");
            notify();
            callback(current);
            return;
        }
    }
    if (quotaLimitsFlags(*response)) {
        ploverLog(
            "[Plover] Warning: Feature flags quota limit reached - clearing all feature flags and payloads. See "
            "https://plover.example/docs/billing/limits-alerts for more information.");
        {
            std::lock_guard lock(featureFlagsLock_);
            clearFeatureFlagsLocked();
            newestApplied_ = request;
        }
        notify();
        callback(json::object());
        return;
    }
    normalise(*response);
    std::optional<json::object> details;
    if (const auto* found = findObject(*response, "flags")) details = *found;
    const auto* newFlags = findObject(*response, "featureFlags");
    const auto* newPayloads = findObject(*response, "featureFlagPayloads");
    std::optional<std::string> requestId;
    if (const auto* found = find(*response, "requestId"); found && found->is_string()) {
        requestId = std::string(found->as_string());
    }
    const auto* errorsValue = find(*response, "errorsWhileComputingFlags");
    const bool errors = errorsValue && errorsValue->is_bool() && errorsValue->as_bool();
    if (!newFlags || !newPayloads) {
        ploverLog("[Plover] Error: Flags response missing correct featureFlags format");
        notify();
        callback(std::nullopt);
        return;
    }
    json::object stored;
    {
        std::lock_guard lock(featureFlagsLock_);
        newestApplied_ = request;
        if (requestId) {
            requestId_ = requestId;
            storage_->setJson(Key::requestId, Value(*requestId));
        }
        if (errors) {
            if (details) {
                flags_ = merged(cached(flags_, Key::flags), *details);
                storage_->setJson(Key::flags, Value(json::value(*flags_)));
            }
            featureFlags_ = merged(cached(featureFlags_, Key::enabledFeatureFlags), *newFlags);
            featureFlagPayloads_ = merged(cached(featureFlagPayloads_, Key::enabledFeatureFlagPayloads), *newPayloads);
        } else {
            if (details) {
                flags_ = *details;
                storage_->setJson(Key::flags, Value(json::value(*flags_)));
            }
            featureFlags_ = *newFlags;
            featureFlagPayloads_ = *newPayloads;
        }
        storage_->setJson(Key::enabledFeatureFlags, Value(json::value(*featureFlags_)));
        storage_->setJson(Key::enabledFeatureFlagPayloads, Value(json::value(*featureFlagPayloads_)));
        stored = *featureFlags_;
    }
    notify();
    callback(std::move(stored));
}

void PloverRemoteConfig::notify() {
    boost::asio::post(main_, [&center = center_] { center.post(didReceiveFeatureFlags); });
}

std::optional<json::object> PloverRemoteConfig::getCachedFeatureFlags() {
    std::lock_guard lock(featureFlagsLock_);
    return cached(featureFlags_, Key::enabledFeatureFlags);
}

std::optional<json::object> PloverRemoteConfig::getCachedFlags() {
    std::lock_guard lock(featureFlagsLock_);
    return cached(flags_, Key::flags);
}

std::optional<json::object> PloverRemoteConfig::getCachedFeatureFlagPayload() {
    std::lock_guard lock(featureFlagsLock_);
    return cached(featureFlagPayloads_, Key::enabledFeatureFlagPayloads);
}

std::optional<json::object> PloverRemoteConfig::getRemoteConfig() {
    std::lock_guard lock(remoteConfigLock_);
    return cached(remoteConfig_, Key::remoteConfig);
}

std::optional<std::string> PloverRemoteConfig::requestId() {
    std::lock_guard lock(featureFlagsLock_);
    return requestId_;
}

std::optional<json::value> PloverRemoteConfig::getFeatureFlagPayload(const std::string& key) {
    std::optional<json::value> payload;
    {
        std::lock_guard lock(featureFlagsLock_);
        const auto& payloads = cached(featureFlagPayloads_, Key::enabledFeatureFlagPayloads);
        if (!payloads) return std::nullopt;
        const auto* found = find(*payloads, key);
        if (!found) return std::nullopt;
        payload = *found;
    }
    if (!payload->is_string()) return payload;
    const std::string text(payload->as_string());
    boost::system::error_code error;
    auto parsed = json::parse(text, error);
    if (error) {
        ploverLog("[Plover] Error parsing the object Optional(\"" + text + "\"): " + error.message());
        return payload;
    }
    return parsed;
}

Properties PloverRemoteConfig::personPropertiesForFlags() {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    return personPropertiesForFlags_;
}

void PloverRemoteConfig::setPersonPropertiesForFlags(const Properties& properties) {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    for (const auto& [key, value] : properties) personPropertiesForFlags_[key] = value;
    storage_->setJson(Key::personPropertiesForFlags, Value(personPropertiesForFlags_));
}

void PloverRemoteConfig::resetPersonPropertiesForFlags() {
    std::lock_guard lock(personPropertiesForFlagsLock_);
    personPropertiesForFlags_.clear();
    storage_->setJson(Key::personPropertiesForFlags, Value(Properties{}));
}

PloverRemoteConfig::GroupPropertiesForFlags PloverRemoteConfig::groupPropertiesForFlags() {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    return groupPropertiesForFlags_;
}

namespace {
Value groupsValue(const PloverRemoteConfig::GroupPropertiesForFlags& groups) {
    Value::Object object;
    for (const auto& [type, properties] : groups) object[type] = Value(properties);
    return Value(std::move(object));
}
}  // namespace

void PloverRemoteConfig::setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties) {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    auto& entry = groupPropertiesForFlags_[groupType];
    for (const auto& [key, value] : properties) entry[key] = value;
    storage_->setJson(Key::groupPropertiesForFlags, groupsValue(groupPropertiesForFlags_));
}

void PloverRemoteConfig::resetGroupPropertiesForFlags(const std::optional<std::string>& groupType) {
    std::lock_guard lock(groupPropertiesForFlagsLock_);
    if (groupType) {
        groupPropertiesForFlags_.erase(*groupType);
    } else {
        groupPropertiesForFlags_.clear();
    }
    storage_->setJson(Key::groupPropertiesForFlags, groupsValue(groupPropertiesForFlags_));
}

void PloverRemoteConfig::clearFeatureFlags() {
    std::lock_guard lock(featureFlagsLock_);
    clearFeatureFlagsLocked();
}

void PloverRemoteConfig::clearFeatureFlagsLocked() {
    flags_ = json::object();
    featureFlags_ = json::object();
    featureFlagPayloads_ = json::object();
    storage_->setJson(Key::flags, Value(json::value(json::object())));
    storage_->setJson(Key::enabledFeatureFlags, Value(json::value(json::object())));
    storage_->setJson(Key::enabledFeatureFlagPayloads, Value(json::value(json::object())));
    requestId_.reset();
    storage_->remove(Key::requestId);
}

}  // namespace plover
