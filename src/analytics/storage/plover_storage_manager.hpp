#pragma once
// The identity of the current user: the anonymous id made on this device, the distinct id events
// are sent under, whether the user was identified, and whether person processing is on. Each value
// is cached behind a lock of its own and kept on disk through PloverStorage. Locks nest only in the
// order identified, distinct, anonymous.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "analytics/storage/plover_storage.hpp"
#include "analytics/util/uuid.hpp"

namespace plover {

class PloverConfig;

// The library's name and version, as sent in "$lib", "$lib_version" and the User-Agent; a wrapper
// library may replace them. Safe from any thread.
inline constexpr std::string_view ploveriOSSdkName = "plover-ios";
std::string ploverSdkName();
void setPloverSdkName(std::string name);
std::string ploverVersion();
void setPloverVersion(std::string version);

class PloverStorageManager {
public:
    explicit PloverStorageManager(const PloverConfig& config,
                                  PloverStorage::Environment environment = PloverStorage::Environment::current());
    PloverStorageManager(const PloverStorageManager&) = delete;
    PloverStorageManager& operator=(const PloverStorageManager&) = delete;

    // Generated (and stored) on first use when none is stored.
    std::string getAnonymousId();
    // The setters answer false when the value could not be stored (it then holds for this process only).
    bool setAnonymousId(const std::string& id);
    // The stored distinct id, or else the anonymous id (which is then neither cached nor stored as
    // the distinct id, so it follows later changes of the anonymous id).
    std::string getDistinctId();
    bool setDistinctId(const std::string& id);
    // The stored state, or else whether the distinct id differs from the anonymous id.
    bool isIdentified();
    bool setIdentified(bool identified);
    bool isPersonProcessing();
    // Writes only when the value changes.
    void setPersonProcessing(bool enabled);
    // Forgets the cached values (keeping the anonymous id when told to); `deleteStored` also deletes
    // their files.
    void reset(bool keepAnonymousId, bool deleteStored);

    // For callers that read the anonymous id under its lock (flag requests).
    std::mutex& anonymousIdLock() { return anonLock_; }

private:
    // With anonLock_ held.
    const std::string& ensureAnonymousId();

    PloverStorage storage_;
    std::mutex anonLock_;
    std::mutex distinctLock_;
    std::mutex identifiedLock_;
    std::mutex personProcessingLock_;
    std::function<Uuid(Uuid)> idGen_;
    std::optional<std::string> distinctId_;
    bool cachedDistinctId_ = false;
    std::optional<std::string> anonymousId_;
    std::optional<bool> isIdentifiedValue_;
    std::optional<bool> personProcessingEnabled_;
};

}  // namespace plover
