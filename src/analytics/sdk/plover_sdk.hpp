#pragma once
// The analytics client as the application sees it. One `PloverSDK` is set up from a
// `PloverConfig` and then owns everything it needs until it is closed: the key-value storage of
// its API key, the HTTP API client, the identity store, the flag store, network monitoring, the
// device context, the event queue and the replay queue, and the integrations that capture events
// by themselves. Every public operation runs on the caller's thread, never throws and reports
// refusals only in the debug log. An instance that is not set up does nothing.

#include <boost/asio/any_io_executor.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/config/plover_config.hpp"
#include "analytics/context/plover_context.hpp"
#include "analytics/event/plover_event.hpp"
#include "analytics/flags/plover_remote_config.hpp"
#include "analytics/network/reachability.hpp"
#include "analytics/queue/plover_queue.hpp"
#include "analytics/storage/plover_storage.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics/util/dates.hpp"
#include "analytics/util/json.hpp"
#include "analytics/util/value.hpp"
#include "platform/http/http_client.hpp"
#include "platform/notifications/notification_center.hpp"

namespace plover {

class PloverSDK;

// Something that captures events by itself once installed on a set-up instance (screen views,
// application lifecycle). Each kind allows one owner per process.
class PloverIntegration {
public:
    virtual ~PloverIntegration() = default;
    // Throws (an InternalPloverError or another std::exception) when it cannot be installed.
    virtual void install(const std::shared_ptr<PloverSDK>& plover) = 0;
    // `plover` is empty when the instance is being destroyed.
    virtual void uninstall(const std::shared_ptr<PloverSDK>& plover) = 0;
    // The unqualified type name written in the log lines about it.
    virtual std::string typeName() const = 0;
};

using PloverIntegrations = std::vector<std::shared_ptr<PloverIntegration>>;

// The integrations a configuration switches on, screen views first, then the lifecycle (which
// compares the application's version and build with the ones it kept).
PloverIntegrations makeIntegrations(const PloverConfig& config,
                                    const ApplicationInfo& application = ApplicationInfo::current());

// Where an instance runs its work and what it builds on. The process default runs the client's
// own two threads; an application hands over its own executors (the main executor of its
// runtime) and tests their own folders, servers and fakes. Executors, HTTP client and
// notification center left empty are taken from the process default.
struct PloverSDKEnvironment {
    // Flush timers, network-change notices and "PloverDidStart".
    boost::asio::any_io_executor main;
    // Uploads, flag answers and network monitoring.
    boost::asio::any_io_executor background;
    std::shared_ptr<platform::HttpClient> http;
    PloverStorage::Environment storage = PloverStorage::Environment::current();
    // What the application says about itself: its name, version and build go into every event's
    // context and tell an installation from an update. Only the program's name is known unless
    // the application gives more.
    ApplicationInfo application = ApplicationInfo::current();
    // Must outlive the work queued on `main`.
    platform::NotificationCenter* notifications = &platform::NotificationCenter::defaultCenter();
    // Builds the network monitoring (may throw ReachabilityError); empty: the default route.
    std::function<std::shared_ptr<Reachability>(const PloverSDKEnvironment&)> makeReachability;
    // Builds the flag store's requests; empty: over the HTTP API client.
    std::function<std::shared_ptr<PloverRemoteConfigRequests>(std::shared_ptr<const PloverApi>)> makeFlagRequests;
    // Builds the integrations; empty: makeIntegrations().
    std::function<PloverIntegrations(const PloverConfig&)> makeIntegrations;

    // The process's default: the client's own main and background threads, one HTTP client.
    static PloverSDKEnvironment process();
};

class PloverSDK : public std::enable_shared_from_this<PloverSDK> {
public:
    using Groups = PloverApi::Groups;

    static constexpr std::string_view didStartNotification = "PloverDidStart";
    static constexpr std::string_view didReceiveFeatureFlags = PloverRemoteConfig::didReceiveFeatureFlags;

    // The process-wide instance, with an empty API key; not set up until setup() is called on it.
    static std::shared_ptr<PloverSDK> shared();
    // A new instance, independent of shared(), set up with `config`.
    static std::shared_ptr<PloverSDK> with(std::shared_ptr<PloverConfig> config);
    static std::shared_ptr<PloverSDK> with(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment);

    ~PloverSDK();
    PloverSDK(const PloverSDK&) = delete;
    PloverSDK& operator=(const PloverSDK&) = delete;

    // ---- Setup and teardown ----
    void setup(std::shared_ptr<PloverConfig> config);
    // Replaces what the environment says about the application, for the next setup.
    void setApplication(ApplicationInfo application);
    void close();
    void debug(bool enabled);

    // ---- Facade ----
    void flush();
    void reset();
    // Super-properties, carried by every later event.
    void registerProperties(const Properties& properties);
    void unregisterProperties(const std::string& key);
    std::string getDistinctId();
    std::string getAnonymousId();
    std::optional<std::string> getSessionId();
    void startSession();
    void endSession();

    // ---- Events ----
    void capture(const std::string& event);
    void capture(const std::string& event, const std::optional<Properties>& properties);
    void capture(const std::string& event, const std::optional<Properties>& properties,
                 const std::optional<Properties>& userProperties);
    void capture(const std::string& event, const std::optional<Properties>& properties,
                 const std::optional<Properties>& userProperties,
                 const std::optional<Properties>& userPropertiesSetOnce);
    void capture(const std::string& event, const std::optional<Properties>& properties,
                 const std::optional<Properties>& userProperties,
                 const std::optional<Properties>& userPropertiesSetOnce, const std::optional<Groups>& groups);
    void capture(const std::string& event, const std::optional<std::string>& distinctId,
                 const std::optional<Properties>& properties, const std::optional<Properties>& userProperties,
                 const std::optional<Properties>& userPropertiesSetOnce, const std::optional<Groups>& groups);
    // The full forms answer false when what the call had to keep could not be stored (the event, or
    // the new identity): it is lost, with a line written once per cause. A call refused by the
    // client (not set up, opted out, dropped by a before-send function) answers true.
    bool capture(const std::string& event, const std::optional<std::string>& distinctId,
                 const std::optional<Properties>& properties, const std::optional<Properties>& userProperties,
                 const std::optional<Properties>& userPropertiesSetOnce, const std::optional<Groups>& groups,
                 const std::optional<Date>& timestamp);
    void identify(const std::string& distinctId);
    void identify(const std::string& distinctId, const std::optional<Properties>& userProperties);
    bool identify(const std::string& distinctId, const std::optional<Properties>& userProperties,
                  const std::optional<Properties>& userPropertiesSetOnce);
    void alias(const std::string& alias);
    void screen(const std::string& title);
    void screen(const std::string& title, const std::optional<Properties>& properties);
    void group(const std::string& type, const std::string& key);
    void group(const std::string& type, const std::string& key, const std::optional<Properties>& groupProperties);

    // ---- Feature flags and opt-out ----
    void setPersonPropertiesForFlags(const Properties& properties);
    void setPersonPropertiesForFlags(const Properties& properties, bool reloadFeatureFlags);
    void resetPersonPropertiesForFlags();
    void setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties);
    void setGroupPropertiesForFlags(const std::string& groupType, const Properties& properties,
                                    bool reloadFeatureFlags);
    void resetGroupPropertiesForFlags();
    void resetGroupPropertiesForFlags(const std::string& groupType);
    void reloadFeatureFlags();
    // The callback runs on the flag store's executor after the answer, whatever it was.
    void reloadFeatureFlags(std::function<void()> callback);
    std::optional<json::value> getFeatureFlag(const std::string& key);
    bool isFeatureEnabled(const std::string& key);
    std::optional<json::value> getFeatureFlagPayload(const std::string& key);
    void optIn();
    void optOut();
    bool isOptOut();

    // ---- Used inside the client and by its tests ----

    // A new instance that is not set up, holding `config` (the constructor of shared() and with()).
    static std::shared_ptr<PloverSDK> create(std::shared_ptr<PloverConfig> config,
                                             PloverSDKEnvironment environment = PloverSDKEnvironment::process());

    bool isEnabled() const { return enabled_.load(); }
    // The configuration; replaced by a default one on close.
    std::shared_ptr<PloverConfig> config() const;
    std::shared_ptr<PloverQueue> queue() const;
    std::shared_ptr<PloverQueue> replayQueue() const;
    std::shared_ptr<PloverStorage> storage() const;
    std::shared_ptr<Reachability> reachability() const;
    std::shared_ptr<PloverRemoteConfig> remoteConfig() const;
    std::shared_ptr<PloverContext> context() const;
    // The identity store of the current configuration, taken when it was set up (close leaves the
    // configuration's own pointer alone, since the flag store may be reading it).
    std::shared_ptr<PloverStorageManager> storageManager() const;
    PloverIntegrations installedIntegrations() const;

    void installIntegrations();
    void uninstallIntegrations();

    // Property assembly.
    Properties buildProperties(const std::string& distinctId, const std::optional<Properties>& properties,
                               const std::optional<Properties>& userProperties,
                               const std::optional<Properties>& userPropertiesSetOnce,
                               const std::optional<Groups>& groups, bool appendSharedProps,
                               const std::optional<Date>& timestamp);
    Properties buildFeatureFlagProperties();
    bool isPersonProcessingAllowed();
    bool requirePersonProcessing();

    // Event building and the stores fed by events.
    std::optional<PloverEvent> buildEvent(const std::string& event, const std::string& distinctId,
                                          Properties properties, Date timestamp);
    void mergePersonPropertiesForFlags(const std::optional<Properties>& userProperties,
                                       const std::optional<Properties>& userPropertiesSetOnce);
    void storeGroups(const Groups& groups);
    void mergeGroupPropertiesForFlags(const std::string& groupType, const std::optional<Properties>& groupProperties);
    void groupIdentify(const std::string& groupType, const std::string& groupKey,
                       const std::optional<Properties>& groupProperties);
    void reportFeatureFlagCalled(const std::string& flagKey, const std::optional<json::value>& value);

    // The gates: each logs its line and answers false when the call must stop.
    bool passesSetupGate() const;
    bool passesOptOutGate() const;

    static constexpr std::string_view notSetUpMessage =
        "[Plover] Plover method was called without `setup` being complete. Call wil be ignored.";
    static constexpr std::string_view optOutMessage = "[Plover] Plover is in OptOut state.";

private:
    PloverSDK(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment);

    // Both with setupLock_ held; setupLocked() answers whether the instance is now set up.
    bool setupLocked(std::shared_ptr<PloverConfig> config);
    void closeLocked();
    // The end of a setup: integrations, then "PloverDidStart".
    void announceSetup();
    // Changes the opt-out state; false when it already was `optOut` or the instance is not set up.
    bool changeOptOut(bool optOut);
    // Installs the integrations while set up and opted in, and uninstalls them otherwise; called
    // with no lock held after every change of either state.
    void syncIntegrations();
    // Writes, once per instance, that the identity could not be stored.
    void reportIdentityNotStored();
    // Stops network monitoring and forgets it.
    void stopReachability();
    // The flag store's default person properties, for an instance that may be gone.
    static Properties defaultPersonProperties(const std::weak_ptr<PloverSDK>& weak);
    // The stored super-properties (empty when none or not an object).
    Properties storedSuperProperties(const PloverStorage& storage) const;
    // The stored groups (empty when none or not strings to strings); groupsLock_ held.
    Groups storedGroupsLocked(const PloverStorage& storage) const;

    // Fields in the order the client has always kept them.
    std::shared_ptr<PloverConfig> config_;  // under fieldsLock_
    std::atomic<bool> enabled_{false};
    std::mutex setupLock_;
    std::mutex optOutLock_;
    std::mutex groupsLock_;
    std::mutex flagCallReportedLock_;
    std::mutex personPropsLock_;
    std::shared_ptr<PloverQueue> queue_;               // under fieldsLock_
    std::shared_ptr<PloverQueue> replayQueue_;         // under fieldsLock_
    std::shared_ptr<PloverStorage> storage_;           // under fieldsLock_
    std::shared_ptr<Reachability> reachability_;       // under fieldsLock_
    std::set<std::string> flagCallReported_;           // under flagCallReportedLock_
    std::shared_ptr<PloverRemoteConfig> remoteConfig_;  // under fieldsLock_
    std::shared_ptr<PloverContext> context_;           // under fieldsLock_
    PloverIntegrations installedIntegrations_;         // under integrationsLock_; changed by one sync at a time

    // Every field above that setup and close replace is read through a copy taken under this
    // lock, so a call racing close sees either the old collaborators or none.
    mutable std::mutex fieldsLock_;
    mutable std::mutex integrationsLock_;
    std::mutex syncLock_;
    bool syncing_ = false;    // under syncLock_
    bool syncAgain_ = false;  // under syncLock_
    std::shared_ptr<PloverStorageManager> storageManager_;  // under fieldsLock_
    PloverSDKEnvironment environment_;                     // under fieldsLock_
    std::atomic<bool> identityLossReported_{false};
};

}  // namespace plover
