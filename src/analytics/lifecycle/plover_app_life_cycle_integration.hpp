#pragma once
// Sends the application's lifecycle as events: "Application Installed" once per user defaults and
// "Application Updated" once per change of a known build (comparing the version and build the
// application gives with the ones kept in the user defaults; checked once per process),
// "Application Opened" when the application becomes active and "Application Backgrounded" when it
// stops being active. Only one integration is installed at a time in a process.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "analytics/context/plover_context.hpp"
#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "analytics/util/value.hpp"
#include "platform/defaults/user_defaults.hpp"

namespace plover {

class PloverConfig;

// What the integration sends its events through.
class PloverLifecycleTarget {
public:
    virtual ~PloverLifecycleTarget() = default;
    virtual const PloverConfig& config() const = 0;
    virtual void capture(const std::string& event, const Properties& properties) = 0;
};

// What is shared by every integration of a process.
struct LifecycleProcessState {
    std::mutex lock;
    bool installed = false;
    std::atomic<bool> installOrUpdateHandled{false};

    static LifecycleProcessState& process();
};

class PloverAppLifeCycleIntegration : public std::enable_shared_from_this<PloverAppLifeCycleIntegration> {
public:
    static constexpr const char* versionKey = "PLVVersionKey";
    static constexpr const char* buildKey = "PLVBuildKeyV2";
    // Set once "Application Installed" was sent, so that an application that names no build is
    // installed once per user defaults, not once per start.
    static constexpr const char* installedKey = "PLVInstalledKey";

    static std::shared_ptr<PloverAppLifeCycleIntegration> create(
        ApplicationInfo application = ApplicationInfo::current(),
        platform::UserDefaults& defaults = platform::UserDefaults::standard(),
        std::shared_ptr<AppLifecyclePublishing> publisher = DI::main().appLifecyclePublisher(),
        LifecycleProcessState& state = LifecycleProcessState::process());

    // Throws InternalPloverError when another integration is installed in the process.
    void install(const std::shared_ptr<PloverLifecycleTarget>& plover);
    void uninstall(const std::shared_ptr<PloverLifecycleTarget>& plover);

private:
    PloverAppLifeCycleIntegration(ApplicationInfo application, platform::UserDefaults& defaults,
                                  std::shared_ptr<AppLifecyclePublishing> publisher, LifecycleProcessState& state);
    void attach(const std::shared_ptr<PloverLifecycleTarget>& plover);
    void captureInstallOrUpdate();
    // Writes `value` under `key` when there is one; a failed write is reported, never thrown.
    template <class T>
    void store(const char* key, const std::optional<T>& value);
    void captureOpened();
    void captureBackgrounded();
    // The build, or the version when the application gives no build.
    std::optional<std::string> currentBuild() const;

    ApplicationInfo application_;
    platform::UserDefaults& defaults_;
    std::shared_ptr<AppLifecyclePublishing> publisher_;
    LifecycleProcessState& state_;
    std::weak_ptr<PloverLifecycleTarget> plover_;
    bool isFreshAppLaunch_ = true;
    bool isAppBackgrounded_ = true;
    std::unique_ptr<RegistrationToken> didBecomeActiveToken_;
    std::unique_ptr<RegistrationToken> didEnterBackgroundToken_;
    std::unique_ptr<RegistrationToken> didFinishLaunchingToken_;
};

}  // namespace plover
