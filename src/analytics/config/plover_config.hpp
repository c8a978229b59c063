#pragma once
// How the analytics client behaves: the project it reports to, the service it talks to, when and
// how much it uploads, which events it sends by itself, and the hooks that may rewrite or drop
// events before they are queued. One instance is shared by everything set up from it.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analytics/config/plover_hosts.hpp"
#include "analytics/event/plover_event.hpp"
#include "analytics/survey/plover_surveys.hpp"
#include "analytics/util/read_write_lock.hpp"
#include "analytics/util/url.hpp"
#include "analytics/util/uuid.hpp"
#include "analytics/util/value.hpp"

namespace plover {

class PloverStorageManager;

enum class PloverPersonProfiles : int { never = 0, always = 1, identifiedOnly = 2 };

std::optional<PloverPersonProfiles> personProfilesFromRawValue(int rawValue);

// Rewrites an event's properties before it is queued.
class PloverPropertiesSanitizer {
public:
    virtual ~PloverPropertiesSanitizer() = default;
    virtual Properties sanitize(Properties properties) = 0;
};

class PloverConfig {
public:
    // Network condition for uploading: only `wifi` restricts it.
    enum class PloverDataMode : int { wifi = 0, cellular = 1, any = 2 };
    static std::optional<PloverDataMode> dataModeFromRawValue(int rawValue);

    using BeforeSend = std::function<std::optional<PloverEvent>(PloverEvent)>;

    static constexpr std::string_view defaultHost = usIngestionHost;

    // The key is not checked here. A host that is not an http or https URL with a host name
    // ("analytics.example.com" without its scheme, say) is kept as it is and reported by
    // hostProblem(); setup refuses such a configuration. It is never replaced by the default host.
    explicit PloverConfig(std::string apiKey, std::string_view host = defaultHost);
    PloverConfig(const PloverConfig&) = delete;
    PloverConfig& operator=(const PloverConfig&) = delete;

    // Empty (no scheme, no text) when the host given did not parse.
    const Url& host() const { return host_; }
    // Why no request can be made to the host given, as a line for the application; nothing when
    // the host is usable.
    const std::optional<std::string>& hostProblem() const { return hostProblem_; }
    const std::string& apiKey() const { return apiKey_; }

    int flushAt = 20;
    int maxQueueSize = 1000;
    int maxBatchSize = 50;
    double flushIntervalSeconds = 30.0;
    PloverDataMode dataMode = PloverDataMode::any;
    bool sendFeatureFlagEvent = true;
    bool preloadFeatureFlags = true;
    bool remoteConfig = true;
    bool captureApplicationLifecycleEvents = true;
    bool captureScreenViews = true;
    bool debug = false;
    // Changed at run time by opting in and out.
    std::atomic<bool> optOut{false};
    // Called with every freshly generated anonymous id; the id it returns is used.
    static Uuid keepGeneratedAnonymousId(Uuid id) { return id; }
    std::function<Uuid(Uuid)> getAnonymousId = keepGeneratedAnonymousId;
    bool reuseAnonymousId = false;
    std::shared_ptr<PloverPropertiesSanitizer> propertiesSanitizer;
    PloverPersonProfiles personProfiles = PloverPersonProfiles::identifiedOnly;
    bool setDefaultPersonProperties = true;
    std::optional<std::string> appGroupIdentifier;
    bool surveys = false;
    // How surveys are handed to the application; its delegate does nothing until one is set.
    std::shared_ptr<PloverSurveysConfig> surveysConfig = std::make_shared<PloverSurveysConfig>();

    bool disableReachabilityForTesting = false;
    bool disableQueueTimerForTesting = false;
    // The identity store; setup creates one when none is injected.
    std::shared_ptr<PloverStorageManager> storageManager;

    // Path of the session-replay upload; the remote configuration may change it at run time.
    std::string snapshotEndpoint() const { return snapshotEndpoint_.get(); }
    void setSnapshotEndpoint(std::string endpoint) { snapshotEndpoint_.set(std::move(endpoint)); }

    // Replaces the before-send chain, from any thread: each function gets the previous one's
    // result, and the first that returns nothing drops the event without the later ones being
    // called.
    void setBeforeSend(std::vector<BeforeSend> functions);
    template <class... F>
    void setBeforeSend(F... functions) {
        setBeforeSend(std::vector<BeforeSend>{BeforeSend(std::move(functions))...});
    }
    // Runs the chain; without one the event passes unchanged.
    std::optional<PloverEvent> beforeSend(PloverEvent event) const;

private:
    Url host_;
    std::optional<std::string> hostProblem_;
    std::string apiKey_;
    ReadWriteLock<std::string> snapshotEndpoint_{"/s/"};
    // Replaced whole, so that a chain being run is never changed under it; it runs outside the lock.
    ReadWriteLock<std::shared_ptr<const std::vector<BeforeSend>>> beforeSend_;
};

}  // namespace plover
