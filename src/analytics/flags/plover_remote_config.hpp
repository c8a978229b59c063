#pragma once
// The client's store of server-side settings: the project's remote configuration (fetched once per
// process) and the feature flags the service evaluates for the current person, with their payloads
// and detailed records. Both are kept in memory and on disk; every flag load ends with one
// "PloverDidReceiveFeatureFlags" notification on the main executor. Answers are handled one at a
// time on the serial executor "com.plover.RemoteConfig".

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>

#include "analytics/network/plover_api.hpp"
#include "analytics/storage/plover_storage.hpp"
#include "analytics/util/json.hpp"
#include "analytics/util/value.hpp"
#include "platform/notifications/notification_center.hpp"

namespace plover {

class PloverConfig;

// The two requests the store sends; `PloverApiRemoteConfigRequests` sends them over `PloverApi`.
class PloverRemoteConfigRequests {
public:
    virtual ~PloverRemoteConfigRequests() = default;
    virtual void flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
                       const PloverApi::Groups& groups, const Properties& personProperties,
                       const std::optional<PloverApi::GroupProperties>& groupProperties,
                       PloverApi::ResponseCompletion completion) = 0;
    virtual void remoteConfig(PloverApi::ResponseCompletion completion) = 0;
};

class PloverApiRemoteConfigRequests : public PloverRemoteConfigRequests {
public:
    explicit PloverApiRemoteConfigRequests(std::shared_ptr<const PloverApi> api) : api_(std::move(api)) {}
    void flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
               const PloverApi::Groups& groups, const Properties& personProperties,
               const std::optional<PloverApi::GroupProperties>& groupProperties,
               PloverApi::ResponseCompletion completion) override {
        api_->flags(distinctId, anonymousId, groups, personProperties, groupProperties, std::move(completion));
    }
    void remoteConfig(PloverApi::ResponseCompletion completion) override { api_->remoteConfig(std::move(completion)); }

private:
    std::shared_ptr<const PloverApi> api_;
};

class PloverRemoteConfig : public std::enable_shared_from_this<PloverRemoteConfig> {
public:
    static constexpr const char* didReceiveFeatureFlags = "PloverDidReceiveFeatureFlags";

    using GroupPropertiesForFlags = std::map<std::string, Properties>;
    // Takes the new enabled flags, or nothing when the answer was not usable.
    using FlagsCallback = std::function<void(std::optional<json::object>)>;

    // `background` carries the serial executor of the answers, `main` the notifications. Builds
    // the store and starts the first loads.
    static std::shared_ptr<PloverRemoteConfig> create(std::shared_ptr<PloverConfig> config,
                                                      std::shared_ptr<const PloverStorage> storage,
                                                      std::shared_ptr<PloverRemoteConfigRequests> api,
                                                      std::function<Properties()> getDefaultPersonProperties,
                                                      boost::asio::any_io_executor background,
                                                      boost::asio::any_io_executor main,
                                                      platform::NotificationCenter& center =
                                                          platform::NotificationCenter::defaultCenter());

    const std::string hasFeatureFlagsKey = "hasFeatureFlags";

    void loadRemoteConfig();
    void loadFeatureFlags();
    // Sends one flag request now, from the calling thread; the callback runs on the serial
    // executor once the answer has been handled.
    void reloadFeatureFlags(FlagsCallback callback = nullptr);

    // The cached maps, read from disk on first use. Each takes the flags lock itself.
    std::optional<json::object> getCachedFeatureFlags();
    std::optional<json::object> getCachedFlags();
    std::optional<json::object> getCachedFeatureFlagPayload();
    std::optional<json::object> getRemoteConfig();
    // The payload of `key`; a JSON text is returned parsed (fragments allowed).
    std::optional<json::value> getFeatureFlagPayload(const std::string& key);
    std::optional<std::string> requestId();

    Properties personPropertiesForFlags();
    // New values win over the held ones; the whole map is stored.
    void setPersonPropertiesForFlags(const Properties& properties);
    void resetPersonPropertiesForFlags();
    GroupPropertiesForFlags groupPropertiesForFlags();
    void setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties);
    // Removes that type's entry, or every entry without a type.
    void resetGroupPropertiesForFlags(const std::optional<std::string>& groupType = std::nullopt);

    void clearFeatureFlags();

private:
    PloverRemoteConfig(std::shared_ptr<PloverConfig> config, std::shared_ptr<const PloverStorage> storage,
                       std::shared_ptr<PloverRemoteConfigRequests> api,
                       std::function<Properties()> getDefaultPersonProperties, boost::asio::any_io_executor background,
                       boost::asio::any_io_executor main, platform::NotificationCenter& center);
    void start();
    void afterRemoteConfig(const std::optional<json::object>& remoteConfig);
    void handleFlagsResponse(std::optional<json::object> response, std::uint64_t request, const FlagsCallback& callback);
    void notify();
    // The lock is held by the caller.
    std::optional<json::object>& cached(std::optional<json::object>& field, PloverStorage::StorageKey key);
    void clearFeatureFlagsLocked();

    std::shared_ptr<PloverConfig> config_;
    std::shared_ptr<const PloverStorage> storage_;
    std::shared_ptr<PloverRemoteConfigRequests> api_;
    std::function<Properties()> getDefaultPersonProperties_;

    std::mutex featureFlagsLock_;
    std::optional<json::object> flags_;
    std::optional<json::object> featureFlags_;
    std::mutex remoteConfigLock_;
    std::mutex loadingRemoteConfigLock_;
    std::optional<json::object> remoteConfig_;
    bool remoteConfigDidFetch_ = false;
    std::optional<json::object> featureFlagPayloads_;
    std::optional<std::string> requestId_;
    // Flag requests are numbered as they are sent; an answer to a request older than the newest
    // one already applied is stale and changes nothing.
    std::atomic<std::uint64_t> nextRequest_{0};
    std::optional<std::uint64_t> newestApplied_;  // guarded by `featureFlagsLock_`
    std::mutex personPropertiesForFlagsLock_;
    Properties personPropertiesForFlags_;
    std::mutex groupPropertiesForFlagsLock_;
    GroupPropertiesForFlags groupPropertiesForFlags_;
    boost::asio::strand<boost::asio::any_io_executor> dispatchQueue_;
    boost::asio::any_io_executor main_;
    platform::NotificationCenter& center_;
};

}  // namespace plover
