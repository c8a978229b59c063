#include "analytics/storage/plover_storage.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <system_error>
#include <vector>

#include "analytics/config/plover_config.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/file_helpers.hpp"
#include "platform/defaults/atomic_file.hpp"
#include "platform/defaults/xdg_folders.hpp"

namespace plover {

namespace fs = std::filesystem;
using Key = PloverStorage::StorageKey;

namespace {

struct KeyNames {
    Key key;
    std::string_view caseName;
    std::string_view rawValue;
};

constexpr std::array<KeyNames, 19> keyNames = {{
    {Key::distinctId, "distinctId", "plover.distinctId"},
    {Key::anonymousId, "anonymousId", "plover.anonymousId"},
    {Key::queue, "queue", "plover.queueFolder"},
    {Key::oldQeueue, "oldQeueue", "plover.queue.plist"},
    {Key::replayQeueue, "replayQeueue", "plover.replayFolder"},
    {Key::enabledFeatureFlags, "enabledFeatureFlags", "plover.enabledFeatureFlags"},
    {Key::enabledFeatureFlagPayloads, "enabledFeatureFlagPayloads", "plover.enabledFeatureFlagPayloads"},
    {Key::flags, "flags", "plover.flags"},
    {Key::groups, "groups", "plover.groups"},
    {Key::registerProperties, "registerProperties", "plover.registerProperties"},
    {Key::optOut, "optOut", "plover.optOut"},
    {Key::sessionReplay, "sessionReplay", "plover.sessionReplay"},
    {Key::isIdentified, "isIdentified", "plover.isIdentified"},
    {Key::personProcessingEnabled, "personProcessingEnabled", "plover.enabledPersonProcessing"},
    {Key::remoteConfig, "remoteConfig", "plover.remoteConfig"},
    {Key::surveySeen, "surveySeen", "plover.surveySeen"},
    {Key::requestId, "requestId", "plover.requestId"},
    {Key::personPropertiesForFlags, "personPropertiesForFlags", "plover.personPropertiesForFlags"},
    {Key::groupPropertiesForFlags, "groupPropertiesForFlags", "plover.groupPropertiesForFlags"},
}};

// The key files reset() deletes, in order (the anonymous id is skipped when it is kept).
constexpr std::array<Key, 17> resetKeys = {
    Key::distinctId,   Key::anonymousId,    Key::oldQeueue,     Key::flags,
    Key::enabledFeatureFlags, Key::enabledFeatureFlagPayloads, Key::groups, Key::registerProperties,
    Key::optOut,       Key::sessionReplay,  Key::isIdentified,  Key::personProcessingEnabled,
    Key::remoteConfig, Key::surveySeen,     Key::requestId,     Key::personPropertiesForFlags,
    Key::groupPropertiesForFlags,
};

const KeyNames& namesOf(Key key) { return keyNames[static_cast<std::size_t>(key)]; }

std::string fileUrl(const fs::path& path) {
    std::string text = "file://" + path.string();
    if (directoryExists(path) && (text.empty() || text.back() != '/')) text.push_back('/');
    return text;
}

bool isDirectoryItself(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(fs::symlink_status(path, error));
}

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

// Copies one file, folder or link to `to`, flushing every file copied to disk.
std::error_code copyTree(const fs::path& from, const fs::path& to) {
    std::error_code error;
    auto status = fs::symlink_status(from, error);
    if (error) return error;
    if (fs::is_symlink(status)) {
        fs::copy_symlink(from, to, error);
        return error;
    }
    if (fs::is_directory(status)) {
        fs::create_directory(to, error);
        if (error) return error;
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
            entries.push_back(it->path());
        }
        if (error) return error;
        for (auto& entry : entries) {
            if (auto failed = copyTree(entry, to / entry.filename())) return failed;
        }
        return {};
    }
    if (!fs::is_regular_file(status)) return std::make_error_code(std::errc::not_supported);
    fs::copy_file(from, to, error);
    if (error) return error;
    int fd = ::open(to.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return lastError();
    int flushed = ::fsync(fd);
    std::error_code flushError = flushed == 0 ? std::error_code() : lastError();
    ::close(fd);
    return flushError;
}

// Copies `from` to the new path `to` so that `to` appears complete or not at all.
std::error_code copyWhole(const fs::path& from, const fs::path& to) {
    fs::path temporary = to;
    temporary += ".migrating-" + std::to_string(::getpid());
    std::error_code ignored;
    fs::remove_all(temporary, ignored);
    std::error_code error = copyTree(from, temporary);
    if (!error) fs::rename(temporary, to, error);
    if (error) fs::remove_all(temporary, ignored);
    return error;
}

// Whether `inner` is `outer` or lies inside it.
bool sameOrInside(const fs::path& inner, const fs::path& outer) {
    std::error_code error;
    auto a = fs::weakly_canonical(inner, error);
    if (error) a = inner.lexically_normal();
    auto b = fs::weakly_canonical(outer, error);
    if (error) b = outer.lexically_normal();
    auto [innerEnd, outerEnd] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return outerEnd == b.end() || (std::next(outerEnd) == b.end() && outerEnd->empty());
}

void removeIfEmpty(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error || it != fs::directory_iterator()) return;
    std::string url = fileUrl(folder);
    if (fs::remove(folder, error) && !error) {
        ploverLog("Successfully migrated and removed legacy folder at " + url);
    } else {
        ploverLog("Failed to remove empty directory at " + folder.string() + ": " + error.message());
    }
}

void mergeFolder(const fs::path& from, const fs::path& into) {
    createDirectoryIfNeeded(into);
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) {
        ploverLog("Error reading directory contents at " + from.string() + ": " + error.message());
        return;
    }
    for (auto& entry : entries) {
        fs::path destination = into / entry.filename();
        if (!somethingExistsAt(entry)) continue;
        if (isDirectoryItself(entry)) {
            mergeFolder(entry, destination);
            removeIfEmpty(entry);
            continue;
        }
        auto failed = [&](const std::error_code& cause) {
            ploverLog("Failed to migrate file from " + entry.string() + " to " + destination.string() + ": " +
                      cause.message());
        };
        if (!somethingExistsAt(destination)) {
            if (auto copyError = copyWhole(entry, destination)) {
                failed(copyError);
                continue;
            }
        }
        fs::remove(entry, error);
        if (error) failed(error);
    }
}

std::optional<std::string> readWholeFile(const fs::path& path, std::error_code& error) {
    return readFileAtMost(path, PloverStorage::maximumFileSize, error);
}

}  // namespace

bool isValidFolderName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

const std::array<Key, 19>& PloverStorage::allKeys() {
    static const std::array<Key, 19> keys = [] {
        std::array<Key, 19> all{};
        for (std::size_t i = 0; i < keyNames.size(); ++i) all[i] = keyNames[i].key;
        return all;
    }();
    return keys;
}

std::string_view PloverStorage::rawValue(Key key) { return namesOf(key).rawValue; }

std::string_view PloverStorage::caseName(Key key) { return namesOf(key).caseName; }

std::optional<Key> PloverStorage::keyFromRawValue(std::string_view rawValue) {
    for (auto& names : keyNames) {
        if (names.rawValue == rawValue) return names.key;
    }
    return std::nullopt;
}

PloverStorage::Environment PloverStorage::Environment::current() {
    Environment environment;
    environment.applicationIdentifier = program_invocation_short_name;
    environment.dataHome = platform::xdgFolder("XDG_DATA_HOME", ".local/share");
    environment.groupContainer = [](const std::string&) { return std::optional<fs::path>(); };
    return environment;
}

PloverStorage::PloverStorage(const PloverConfig& config, Environment environment)
    : environment_(std::move(environment)), appGroupIdentifier_(config.appGroupIdentifier) {
    if (!isValidFolderName(config.apiKey())) {
        ploverLog("The API key cannot be used as the name of a storage folder; nothing will be stored.");
        return;
    }
    auto base = baseFolder();
    if (!base) {
        ploverLog("No folder for the analytics storage could be found; nothing will be stored.");
        return;
    }
    appFolder_ = *base / config.apiKey();
    if (auto error = createPrivateDirectories(*appFolder_)) {
        ploverLog("Error creating storage directory: " + error.message());
    }
    if (directoryExists(*base)) migrateKeyFiles(*base);
}

std::optional<fs::path> PloverStorage::baseFolder() const {
    bool validApplication = isValidFolderName(environment_.applicationIdentifier);
    if (appGroupIdentifier_ && isValidFolderName(*appGroupIdentifier_) && environment_.groupContainer) {
        if (auto container = environment_.groupContainer(*appGroupIdentifier_)) {
            fs::path library = *container / "Library" / "Application Support";
            fs::path group = library / *appGroupIdentifier_;
            createDirectoryIfNeeded(group);
            fs::path legacy = library / environment_.applicationIdentifier;
            // A legacy folder that is the group folder itself has nothing to merge.
            if (validApplication && directoryExists(legacy) && !sameOrInside(group, legacy)) {
                ploverLog("Legacy folder found at " + fileUrl(legacy) + ", merging...");
                mergeFolder(legacy, group);
                removeIfEmpty(legacy);
            }
            if (directoryExists(group)) return group;
        }
    }
    if (!validApplication || environment_.dataHome.empty()) return std::nullopt;
    return environment_.dataHome / environment_.applicationIdentifier;
}

void PloverStorage::migrateKeyFiles(const fs::path& base) const {
    for (Key key : allKeys()) {
        std::string raw(rawValue(key));
        fs::path old = base / raw;
        fs::path current = *appFolder_ / raw;
        // A project folder named like a key file is not an old key file.
        if (sameOrInside(*appFolder_, old)) continue;
        if (!somethingExistsAt(old)) continue;
        if (!somethingExistsAt(current)) {
            if (auto error = copyWhole(old, current)) {
                ploverLog("Error during storage migration for file " + raw + " at path " + old.string() + ": " +
                          error.message());
                continue;  // the old file stays until it can be copied
            }
        }
        std::error_code error;
        fs::remove_all(old, error);
        if (error) {
            ploverLog("Could not delete file " + raw + " at path " + old.string() + ": " + error.message());
        }
    }
}

std::optional<fs::path> PloverStorage::url(Key key) const {
    if (!appFolder_) return std::nullopt;
    return *appFolder_ / std::string(rawValue(key));
}

std::optional<std::string> PloverStorage::getData(Key key) const {
    auto file = url(key);
    if (!file || !somethingExistsAt(*file)) return std::nullopt;
    std::error_code error;
    auto content = readWholeFile(*file, error);
    if (!content) {
        ploverLog("Error reading data from key " + std::string(caseName(key)) + ": " + error.message());
    }
    return content;
}

bool PloverStorage::setData(Key key, const std::optional<std::string>& data) const {
    auto file = url(key);
    if (!data) {
        if (file) deleteSafely(*file);
        return true;
    }
    try {
        if (!file) throw std::runtime_error("there is no storage folder");
        platform::writeFileAtomically(*file, *data);
        return true;
    } catch (const std::exception& error) {
        ploverLog("Failed to write data for key '" + std::string(caseName(key)) + "' error: " + error.what());
        return false;
    }
}

std::optional<json::value> PloverStorage::getJson(Key key) const {
    auto data = getData(key);
    if (!data) return std::nullopt;
    boost::system::error_code error;
    json::value parsed = json::parse(*data, error);
    if (!error && !parsed.is_object() && !parsed.is_array()) {
        error = make_error_code(boost::system::errc::invalid_argument);
    }
    if (error) {
        ploverLog("Failed to serialize key '" + std::string(caseName(key)) + "' error: " + error.message());
        return std::nullopt;
    }
    return parsed;
}

bool PloverStorage::setJson(Key key, const Value& value) const {
    auto converted = value.toJson();
    if (!converted) {
        ploverLog("Failed to serialize key '" + std::string(caseName(key)) + "' error: the value has no JSON form");
        return false;
    }
    if (!converted->is_object() && !converted->is_array()) {
        json::object wrapped;
        wrapped[rawValue(key)] = std::move(*converted);
        converted = json::value(std::move(wrapped));
    }
    return setData(key, json::serialize(*converted));
}

std::optional<std::string> PloverStorage::getString(Key key) const {
    auto stored = getJson(key);
    if (!stored) return std::nullopt;
    if (stored->is_string()) return std::string(stored->get_string());
    if (!stored->is_object()) return std::nullopt;
    auto& object = stored->get_object();
    for (auto& entry : object) {
        if (!entry.value().is_string()) return std::nullopt;
    }
    auto* found = object.if_contains(rawValue(key));
    if (!found) return std::nullopt;
    return std::string(found->get_string());
}

std::optional<bool> PloverStorage::getBool(Key key) const {
    auto stored = getJson(key);
    if (!stored) return std::nullopt;
    if (stored->is_bool()) return stored->get_bool();
    if (!stored->is_object()) return std::nullopt;
    auto& object = stored->get_object();
    for (auto& entry : object) {
        if (!entry.value().is_bool()) return std::nullopt;
    }
    auto* found = object.if_contains(rawValue(key));
    if (!found) return std::nullopt;
    return found->get_bool();
}

void PloverStorage::remove(Key key) const {
    if (auto file = url(key)) deleteSafely(*file);
}

void PloverStorage::reset(bool keepAnonymousId) const {
    for (Key key : resetKeys) {
        if (key == Key::anonymousId && keepAnonymousId) continue;
        remove(key);
    }
}

}  // namespace plover
