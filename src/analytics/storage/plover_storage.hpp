#pragma once
// The analytics client's small persistent key-value store: one JSON file per key inside one folder
// per project (per API key), by default $XDG_DATA_HOME/<application id>/<apiKey>/. The store also
// chooses and creates that folder and moves in what older folder layouts left behind. It takes no
// lock: callers serialise reads and writes of one key.

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/util/json.hpp"
#include "analytics/util/value.hpp"

namespace plover {

class PloverConfig;

class PloverStorage {
public:
    // The raw value of each key is its file name inside the project folder.
    enum class StorageKey {
        distinctId,                  // "plover.distinctId"
        anonymousId,                 // "plover.anonymousId"
        queue,                       // "plover.queueFolder", the event queue's folder
        oldQeueue,                   // "plover.queue.plist", the legacy single-file queue
        replayQeueue,                // "plover.replayFolder", the replay queue's folder
        enabledFeatureFlags,         // "plover.enabledFeatureFlags"
        enabledFeatureFlagPayloads,  // "plover.enabledFeatureFlagPayloads"
        flags,                       // "plover.flags"
        groups,                      // "plover.groups"
        registerProperties,          // "plover.registerProperties"
        optOut,                      // "plover.optOut"
        sessionReplay,               // "plover.sessionReplay"
        isIdentified,                // "plover.isIdentified"
        personProcessingEnabled,     // "plover.enabledPersonProcessing"
        remoteConfig,                // "plover.remoteConfig"
        surveySeen,                  // "plover.surveySeen"
        requestId,                   // "plover.requestId"
        personPropertiesForFlags,    // "plover.personPropertiesForFlags"
        groupPropertiesForFlags,     // "plover.groupPropertiesForFlags"
    };
    static const std::array<StorageKey, 19>& allKeys();
    static std::string_view rawValue(StorageKey key);
    static std::string_view caseName(StorageKey key);
    static std::optional<StorageKey> keyFromRawValue(std::string_view rawValue);

    // Where the folders are.
    struct Environment {
        // The application's own folder name under the data home.
        std::string applicationIdentifier;
        std::filesystem::path dataHome;
        // The shared container of an application group, when the system has one.
        std::function<std::optional<std::filesystem::path>(const std::string& group)> groupContainer;

        // The running program's name under $XDG_DATA_HOME; no group containers.
        static Environment current();
    };

    // Chooses the base folder, creates the project folder and migrates older layouts. An API key
    // that cannot be a folder name (empty, ".", "..", or holding "/" or NUL) leaves the store
    // without a folder: it then keeps nothing.
    explicit PloverStorage(const PloverConfig& config, Environment environment = Environment::current());

    const std::optional<std::filesystem::path>& appFolderUrl() const { return appFolder_; }
    std::optional<std::filesystem::path> url(StorageKey key) const;

    std::optional<std::string> getData(StorageKey key) const;
    // Replaces the key's file atomically; nothing deletes it.
    // False when the value could not be written (logged).
    bool setData(StorageKey key, const std::optional<std::string>& data) const;
    // The stored object or array exactly as stored (a scalar comes back as its one-entry object).
    std::optional<json::value> getJson(StorageKey key) const;
    // Objects and arrays are stored as they are, anything else as {raw value: value}. A value
    // without a JSON form leaves the stored file as it was.
    bool setJson(StorageKey key, const Value& value) const;
    std::optional<std::string> getString(StorageKey key) const;
    std::optional<bool> getBool(StorageKey key) const;
    void remove(StorageKey key) const;
    // Deletes every key file but the queue folders (and the anonymous id when told to keep it).
    void reset(bool keepAnonymousId) const;

    // Files larger than this are not read.
    static constexpr std::size_t maximumFileSize = 32 * 1024 * 1024;

private:
    std::optional<std::filesystem::path> baseFolder() const;
    void migrateKeyFiles(const std::filesystem::path& base) const;

    Environment environment_;
    std::optional<std::string> appGroupIdentifier_;
    std::optional<std::filesystem::path> appFolder_;
};

// Whether `name` can be one folder's name: not empty, not "." or "..", no "/" and no NUL.
bool isValidFolderName(std::string_view name);

}  // namespace plover
