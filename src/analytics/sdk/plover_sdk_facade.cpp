// The facade's own operations: flush, reset, super-properties, identities and sessions.

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

// ---- Facade ----

void PloverSDK::flush() {
    if (!passesSetupGate()) return;
    for (auto& each : {queue(), replayQueue()}) {
        if (each) each->flush();
    }
}

void PloverSDK::reset() {
    if (!passesSetupGate()) return;
    auto config = this->config();
    if (auto storage = this->storage()) {
        // The user's opt-out outlives forgetting the user: it is what the next start reads back.
        std::lock_guard lock(optOutLock_);
        auto optOut = storage->getBool(Key::optOut);
        storage->reset(config->reuseAnonymousId);
        if (optOut) storage->setJson(Key::optOut, Value(*optOut));
    }
    if (auto storageManager = this->storageManager()) storageManager->reset(config->reuseAnonymousId, false);
    {
        std::lock_guard lock(flagCallReportedLock_);
        flagCallReported_.clear();
    }
    PloverSessionManager::shared()->resetSession();
    if (auto remoteConfig = this->remoteConfig()) {
        remoteConfig->resetPersonPropertiesForFlags();
        remoteConfig->resetGroupPropertiesForFlags();
        remoteConfig->reloadFeatureFlags();
    }
}

Properties PloverSDK::storedSuperProperties(const PloverStorage& storage) const {
    auto stored = storage.getJson(Key::registerProperties);
    if (!stored || !stored->is_object()) return {};
    return propertiesFromJson(stored->get_object());
}

void PloverSDK::registerProperties(const Properties& properties) {
    if (!passesSetupGate()) return;
    auto sanitized = sanitizeDictionary(properties);
    if (!sanitized) return;
    auto storage = this->storage();
    std::lock_guard lock(personPropsLock_);
    auto current = storage ? storedSuperProperties(*storage) : Properties{};
    for (auto& [key, value] : *sanitized) current.insert_or_assign(key, value);
    if (storage) storage->setJson(Key::registerProperties, Value(std::move(current)));
}

void PloverSDK::unregisterProperties(const std::string& key) {
    if (!passesSetupGate()) return;
    auto storage = this->storage();
    std::lock_guard lock(personPropsLock_);
    auto current = storage ? storedSuperProperties(*storage) : Properties{};
    current.erase(key);
    if (storage) storage->setJson(Key::registerProperties, Value(std::move(current)));
}

std::string PloverSDK::getDistinctId() {
    if (!passesSetupGate()) return {};
    auto storageManager = this->storageManager();
    return storageManager ? storageManager->getDistinctId() : std::string();
}

std::string PloverSDK::getAnonymousId() {
    if (!passesSetupGate()) return {};
    auto storageManager = this->storageManager();
    return storageManager ? storageManager->getAnonymousId() : std::string();
}

std::optional<std::string> PloverSDK::getSessionId() {
    if (!passesSetupGate()) return std::nullopt;
    return PloverSessionManager::shared()->getSessionId(std::chrono::system_clock::now(), true);
}

void PloverSDK::startSession() {
    if (!passesSetupGate()) return;
    PloverSessionManager::shared()->startSession();
}

void PloverSDK::endSession() {
    if (!passesSetupGate()) return;
    PloverSessionManager::shared()->endSession();
}

void PloverSDK::identify(const std::string& distinctId) { identify(distinctId, std::nullopt, std::nullopt); }

void PloverSDK::identify(const std::string& distinctId, const std::optional<Properties>& userProperties) {
    identify(distinctId, userProperties, std::nullopt);
}

}  // namespace plover
