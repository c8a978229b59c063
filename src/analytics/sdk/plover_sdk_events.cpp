// The operations that record what happens: the capture family, identify, alias, screen and group,
// and the road every event takes from them to a queue (property assembly, the configured
// sanitizer, the before-send chain). Everything runs on the caller's thread; refusals show only in
// the debug log.

#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/sanitizer.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"

namespace plover {

using Key = PloverStorage::StorageKey;

namespace {

constexpr std::string_view snapshotEvent = "$snapshot";

template <class Map>
bool hasEntries(const std::optional<Map>& map) {
    return map && !map->empty();
}

Date now() { return std::chrono::system_clock::now(); }

// Identify reads the current identity and replaces it in one step: two identify calls racing on
// one installation must not both take the anonymous user over. Process-wide, since the identity
// lives in the storage folder, not in the instance.
std::mutex& identityChangeLock() {
    static std::mutex lock;
    return lock;
}

void logAlreadyIdentified(const std::string& distinctId) {
    ploverLog("[Plover] already identified with id: " + distinctId);
}

}  // namespace

// ---- The capture family ----

void PloverSDK::capture(const std::string& event) {
    capture(event, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
}

void PloverSDK::capture(const std::string& event, const std::optional<Properties>& properties) {
    capture(event, std::nullopt, properties, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
}

void PloverSDK::capture(const std::string& event, const std::optional<Properties>& properties,
                        const std::optional<Properties>& userProperties) {
    capture(event, std::nullopt, properties, userProperties, std::nullopt, std::nullopt, std::nullopt);
}

void PloverSDK::capture(const std::string& event, const std::optional<Properties>& properties,
                        const std::optional<Properties>& userProperties,
                        const std::optional<Properties>& userPropertiesSetOnce) {
    capture(event, std::nullopt, properties, userProperties, userPropertiesSetOnce, std::nullopt,
            std::nullopt);
}

void PloverSDK::capture(const std::string& event, const std::optional<Properties>& properties,
                        const std::optional<Properties>& userProperties,
                        const std::optional<Properties>& userPropertiesSetOnce,
                        const std::optional<Groups>& groups) {
    capture(event, std::nullopt, properties, userProperties, userPropertiesSetOnce, groups, std::nullopt);
}

void PloverSDK::capture(const std::string& event, const std::optional<std::string>& distinctId,
                        const std::optional<Properties>& properties,
                        const std::optional<Properties>& userProperties,
                        const std::optional<Properties>& userPropertiesSetOnce,
                        const std::optional<Groups>& groups) {
    capture(event, distinctId, properties, userProperties, userPropertiesSetOnce, groups, std::nullopt);
}

bool PloverSDK::capture(const std::string& event, const std::optional<std::string>& distinctId,
                        const std::optional<Properties>& properties,
                        const std::optional<Properties>& userProperties,
                        const std::optional<Properties>& userPropertiesSetOnce,
                        const std::optional<Groups>& groups, const std::optional<Date>& timestamp) {
    if (!passesSetupGate() || !passesOptOutGate()) return true;
    auto queue = this->queue();
    if (!queue) return true;
    // Taken once, so that a close racing this call cannot leave the event without its person.
    auto storageManager = this->storageManager();
    if (!distinctId && !storageManager) return true;

    const bool isSnapshot = event == snapshotEvent;
    const Date eventTime = timestamp.value_or(now());
    const std::string person = distinctId ? *distinctId : storageManager->getDistinctId();

    if (hasEntries(userProperties) || hasEntries(userPropertiesSetOnce) || hasEntries(groups)) {
        // The event goes on whatever the answer; the call only switches person processing on.
        requirePersonProcessing();
    }

    auto assembled =
        buildProperties(person, sanitizeDictionary(properties), sanitizeDictionary(userProperties),
                        sanitizeDictionary(userPropertiesSetOnce), groups, !isSnapshot, timestamp);
    auto built = buildEvent(event, person, std::move(assembled), eventTime);
    if (!built) return true;

    // The before-send chain may have renamed the event: its queue follows the name it came back with.
    bool stored = true;
    if (built->event == snapshotEvent) {
        if (!built->properties.contains("$session_id")) return true;
        if (auto replayQueue = this->replayQueue()) stored = replayQueue->add(*built);
    } else {
        stored = queue->add(*built);
    }
    mergePersonPropertiesForFlags(userProperties, userPropertiesSetOnce);
    return stored;
}

std::optional<PloverEvent> PloverSDK::buildEvent(const std::string& event, const std::string& distinctId,
                                                 Properties properties, Date timestamp) {
    auto config = this->config();
    std::optional<PloverEvent> result;
    // The sanitizer and the before-send functions are the application's code, called with no lock
    // held; one that throws drops the event rather than the caller's thread.
    try {
        if (config->propertiesSanitizer)
            properties = config->propertiesSanitizer->sanitize(std::move(properties));
        result = config->beforeSend(
            PloverEvent(event, distinctId, std::move(properties), timestamp, TimeBasedEpochGenerator::v7()));
    } catch (const std::exception& error) {
        ploverLog("[Plover] Plover event " + event + " could not be prepared: " + error.what());
        result.reset();
    } catch (...) {
        result.reset();
    }
    if (!result) {
        std::string line = "[Plover] Plover event " + event + " was dropped";
        if (sdkEventIndex(event) != 10) line += ". This can cause unexpected behavior.";
        ploverLog(line);
    }
    return result;
}

// ---- Identity ----

bool PloverSDK::identify(const std::string& distinctId, const std::optional<Properties>& userProperties,
                         const std::optional<Properties>& userPropertiesSetOnce) {
    if (!passesSetupGate()) return true;
    if (distinctId.empty()) {
        ploverLog("[Plover] identify call not allowed, distinctId is invalid: " + distinctId);
        return true;
    }
    if (!passesOptOutGate() || !requirePersonProcessing()) return true;
    auto queue = this->queue();
    auto storageManager = this->storageManager();
    if (!queue || !storageManager) return true;
    auto config = this->config();

    std::string current;
    bool newIdentity = false;
    bool identityStored = true;
    Properties properties;
    {
        std::lock_guard lock(identityChangeLock());
        current = storageManager->getDistinctId();
        const bool identified = storageManager->isIdentified();
        if (distinctId != current && !identified) {
            newIdentity = true;
            properties.emplace("distinct_id", Value(distinctId));
            if (!config->reuseAnonymousId) {
                // The id the person was known by so far becomes the anonymous id the service merges.
                identityStored = storageManager->setAnonymousId(current) && identityStored;
                properties.emplace("$anon_distinct_id", Value(current));
            }
            identityStored = storageManager->setDistinctId(distinctId) && identityStored;
            identityStored = storageManager->setIdentified(true) && identityStored;
        }
    }

    if (!identityStored) reportIdentityNotStored();
    if (newIdentity) {
        auto assembled =
            buildProperties(distinctId, std::move(properties), sanitizeDictionary(userProperties),
                            sanitizeDictionary(userPropertiesSetOnce), std::nullopt, true, std::nullopt);
        auto built = buildEvent("$identify", distinctId, std::move(assembled), now());
        if (!built) return identityStored;
        bool eventStored = queue->add(*built);
        mergePersonPropertiesForFlags(userProperties, userPropertiesSetOnce);
        if (auto remoteConfig = this->remoteConfig()) remoteConfig->reloadFeatureFlags();
        return identityStored && eventStored;
    }
    if (distinctId != current) {
        logAlreadyIdentified(current);
        return true;
    }
    if (hasEntries(userProperties) || hasEntries(userPropertiesSetOnce)) {
        bool stored = capture("$set", distinctId, std::nullopt, userProperties, userPropertiesSetOnce, std::nullopt,
                              std::nullopt);
        mergePersonPropertiesForFlags(userProperties, userPropertiesSetOnce);
        return stored;
    }
    logAlreadyIdentified(current);
    return true;
}

void PloverSDK::reportIdentityNotStored() {
    if (identityLossReported_.exchange(true)) return;
    ploverWarn("[Plover] The identity cannot be stored; it holds only until the process ends.");
}

void PloverSDK::alias(const std::string& alias) {
    if (!passesSetupGate() || !passesOptOutGate() || !requirePersonProcessing()) return;
    auto queue = this->queue();
    auto storageManager = this->storageManager();
    if (!queue || !storageManager) return;
    const std::string person = storageManager->getDistinctId();
    auto assembled = buildProperties(person, Properties{{"alias", Value(alias)}}, std::nullopt, std::nullopt,
                                     std::nullopt, true, std::nullopt);
    if (auto built = buildEvent("$create_alias", person, std::move(assembled), now())) queue->add(*built);
}

// ---- Screens ----

void PloverSDK::screen(const std::string& title) { screen(title, std::nullopt); }

void PloverSDK::screen(const std::string& title, const std::optional<Properties>& properties) {
    if (!passesSetupGate() || !passesOptOutGate()) return;
    auto queue = this->queue();
    auto storageManager = this->storageManager();
    if (!queue || !storageManager) return;
    Properties props{{"$screen_name", Value(title)}};
    if (auto sanitized = sanitizeDictionary(properties)) {
        for (auto& [key, value] : *sanitized) props.emplace(key, value);
    }
    const std::string person = storageManager->getDistinctId();
    auto assembled = buildProperties(person, std::move(props), std::nullopt, std::nullopt, std::nullopt, true,
                                     std::nullopt);
    if (auto built = buildEvent("$screen", person, std::move(assembled), now())) queue->add(*built);
}

// ---- Groups ----

void PloverSDK::group(const std::string& type, const std::string& key) { group(type, key, std::nullopt); }

void PloverSDK::group(const std::string& type, const std::string& key,
                      const std::optional<Properties>& groupProperties) {
    if (!passesSetupGate() || !passesOptOutGate() || !requirePersonProcessing()) return;
    storeGroups({{type, key}});
    // Sanitised here and again where it is used: properties that were all unserialisable come out
    // empty the first time and absent the second, so they send no "$group_set".
    groupIdentify(type, key, sanitizeDictionary(groupProperties));
}

void PloverSDK::groupIdentify(const std::string& groupType, const std::string& groupKey,
                              const std::optional<Properties>& groupProperties) {
    if (!passesSetupGate() || !passesOptOutGate()) return;
    auto queue = this->queue();
    auto storageManager = this->storageManager();
    if (!queue || !storageManager) return;
    Properties props{{"$group_type", Value(groupType)}, {"$group_key", Value(groupKey)}};
    if (auto sanitized = sanitizeDictionary(groupProperties))
        props.emplace("$group_set", Value(std::move(*sanitized)));
    mergeGroupPropertiesForFlags(groupType, groupProperties);
    const std::string person = storageManager->getDistinctId();
    auto assembled = buildProperties(person, std::move(props), std::nullopt, std::nullopt, std::nullopt, true,
                                     std::nullopt);
    if (auto built = buildEvent("$groupidentify", person, std::move(assembled), now())) queue->add(*built);
}

void PloverSDK::storeGroups(const Groups& groups) {
    auto storage = this->storage();
    if (!storage) return;
    Groups stored;
    {
        std::lock_guard lock(groupsLock_);
        stored = storedGroupsLocked(*storage);
        Properties value;
        for (auto& [type, key] : stored) value.emplace(type, Value(key));
        for (auto& [type, key] : groups) value.insert_or_assign(type, Value(key));
        storage->setJson(Key::groups, Value(std::move(value)));
    }
    bool changed = false;
    for (auto& [type, key] : groups) {
        auto found = stored.find(type);
        if (found == stored.end() || found->second != key) changed = true;
    }
    if (changed) {
        if (auto remoteConfig = this->remoteConfig()) remoteConfig->reloadFeatureFlags();
    }
}

// ---- What events feed into flag requests ----

void PloverSDK::mergeGroupPropertiesForFlags(const std::string& groupType,
                                             const std::optional<Properties>& groupProperties) {
    if (!isPersonProcessingAllowed()) return;
    auto sanitized = sanitizeDictionary(groupProperties);
    if (!hasEntries(sanitized)) return;
    if (auto remoteConfig = this->remoteConfig())
        remoteConfig->setGroupPropertiesForFlags(groupType, *sanitized);
}

void PloverSDK::mergePersonPropertiesForFlags(const std::optional<Properties>& userProperties,
                                              const std::optional<Properties>& userPropertiesSetOnce) {
    if (!isPersonProcessingAllowed()) return;
    // What is set wins over what is only set once.
    Properties merged = sanitizeDictionary(userProperties).value_or(Properties{});
    for (auto& [key, value] : sanitizeDictionary(userPropertiesSetOnce).value_or(Properties{})) {
        merged.emplace(key, value);
    }
    if (merged.empty()) return;
    if (auto remoteConfig = this->remoteConfig()) remoteConfig->setPersonPropertiesForFlags(merged);
}

}  // namespace plover
