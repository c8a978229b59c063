#include "analytics/lifecycle/plover_app_life_cycle_integration.hpp"

#include "analytics/config/plover_config.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/internal_plover_error.hpp"

namespace plover {

LifecycleProcessState& LifecycleProcessState::process() {
    static LifecycleProcessState state;
    return state;
}

std::shared_ptr<PloverAppLifeCycleIntegration> PloverAppLifeCycleIntegration::create(
    ApplicationInfo application, platform::UserDefaults& defaults, std::shared_ptr<AppLifecyclePublishing> publisher,
    LifecycleProcessState& state) {
    return std::shared_ptr<PloverAppLifeCycleIntegration>(
        new PloverAppLifeCycleIntegration(std::move(application), defaults, std::move(publisher), state));
}

PloverAppLifeCycleIntegration::PloverAppLifeCycleIntegration(ApplicationInfo application,
                                                             platform::UserDefaults& defaults,
                                                             std::shared_ptr<AppLifecyclePublishing> publisher,
                                                             LifecycleProcessState& state)
    : application_(std::move(application)), defaults_(defaults), publisher_(std::move(publisher)), state_(state) {}

std::optional<std::string> PloverAppLifeCycleIntegration::currentBuild() const {
    return application_.build ? application_.build : application_.version;
}

void PloverAppLifeCycleIntegration::install(const std::shared_ptr<PloverLifecycleTarget>& plover) {
    {
        std::lock_guard lock(state_.lock);
        if (state_.installed) {
            throw InternalPloverError("App life cycle integration already installed to another PloverSDK instance.");
        }
        state_.installed = true;
    }
    try {
        attach(plover);
    } catch (...) {
        // Whatever went wrong, the process's one integration slot is free again.
        uninstall(plover);
        throw;
    }
}

void PloverAppLifeCycleIntegration::attach(const std::shared_ptr<PloverLifecycleTarget>& plover) {
    plover_ = plover;
    std::weak_ptr<PloverAppLifeCycleIntegration> weak = weak_from_this();
    didFinishLaunchingToken_ = publisher_->onDidFinishLaunching([weak] {
        if (auto self = weak.lock()) self->captureInstallOrUpdate();
    });
    didBecomeActiveToken_ = publisher_->onDidBecomeActive([weak] {
        if (auto self = weak.lock()) self->captureOpened();
    });
    didEnterBackgroundToken_ = publisher_->onDidEnterBackground([weak] {
        if (auto self = weak.lock()) self->captureBackgrounded();
    });
    captureInstallOrUpdate();
}

void PloverAppLifeCycleIntegration::uninstall(const std::shared_ptr<PloverLifecycleTarget>& plover) {
    auto current = plover_.lock();
    if (current && current != plover) return;
    didFinishLaunchingToken_.reset();
    didBecomeActiveToken_.reset();
    didEnterBackgroundToken_.reset();
    plover_.reset();
    std::lock_guard lock(state_.lock);
    state_.installed = false;
}

void PloverAppLifeCycleIntegration::captureInstallOrUpdate() {
    auto plover = plover_.lock();
    if (!plover) return;
    if (state_.installOrUpdateHandled.exchange(true)) return;
    if (!plover->config().captureApplicationLifecycleEvents) {
        ploverLog("[Plover] Skipping Application Installed/Application Updated event - "
                  "captureApplicationLifecycleEvents is disabled in configuration");
        return;
    }
    auto version = application_.version;
    auto build = currentBuild();
    auto previousVersion = defaults_.string(versionKey);
    auto previousBuild = defaults_.string(buildKey);

    std::string event;
    Properties properties;
    if (!previousBuild) {
        if (defaults_.boolean(installedKey).value_or(false)) {
            // Installed by a start that knew no build: the build known now is no update.
            store(versionKey, version);
            store(buildKey, build);
            return;
        }
        event = "Application Installed";
    } else {
        // Without a build nothing tells an update from the same installation.
        if (!build || *build == *previousBuild) return;
        event = "Application Updated";
        if (previousVersion) properties["previous_version"] = *previousVersion;
        properties["previous_build"] = *previousBuild;
    }
    if (version) properties["version"] = *version;
    if (build) properties["build"] = *build;
    store(versionKey, version);
    store(buildKey, build);
    // Even when the application names neither version nor build, the installation is sent once.
    if (event == "Application Installed") store(installedKey, std::optional<bool>(true));
    plover->capture(event, properties);
}

template <class T>
void PloverAppLifeCycleIntegration::store(const char* key, const std::optional<T>& value) {
    if (!value) return;
    try {
        defaults_.set(key, *value);
    } catch (const std::exception& error) {
        // The event is sent all the same; the next start may send it again.
        ploverWarn(std::string("[Plover] Could not keep ") + key + " in the user defaults: " + error.what());
    }
}

void PloverAppLifeCycleIntegration::captureOpened() {
    auto plover = plover_.lock();
    if (!plover) return;
    if (!isAppBackgrounded_) {
        ploverLog("[Plover] Skipping Application Opened event - app already in foreground");
        return;
    }
    isAppBackgrounded_ = false;
    if (!plover->config().captureApplicationLifecycleEvents) {
        ploverLog("[Plover] Skipping Application Opened event - captureApplicationLifecycleEvents is disabled in "
                  "configuration");
        return;
    }
    Properties properties{{"from_background", !isFreshAppLaunch_}};
    if (isFreshAppLaunch_) {
        if (application_.version) properties["version"] = *application_.version;
        if (auto build = currentBuild()) properties["build"] = *build;
        isFreshAppLaunch_ = false;
    }
    plover->capture("Application Opened", properties);
}

void PloverAppLifeCycleIntegration::captureBackgrounded() {
    auto plover = plover_.lock();
    if (!plover || isAppBackgrounded_) return;
    isAppBackgrounded_ = true;
    if (plover->config().captureApplicationLifecycleEvents) {
        plover->capture("Application Backgrounded", {});
    } else {
        ploverLog("[Plover] Skipping Application Backgrounded event - captureApplicationLifecycleEvents is disabled "
                  "in configuration");
    }
}

}  // namespace plover
