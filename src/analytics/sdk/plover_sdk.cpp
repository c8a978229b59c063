#include "analytics/sdk/plover_sdk.hpp"

namespace plover {

PloverIntegrations makeIntegrations(const PloverConfig&) { return {}; }

PloverSDKEnvironment PloverSDKEnvironment::process() { return {}; }

PloverSDK::PloverSDK(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment)
    : config_(std::move(config)), environment_(std::move(environment)) {}

PloverSDK::~PloverSDK() = default;

std::shared_ptr<PloverSDK> PloverSDK::create(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment) {
    return std::shared_ptr<PloverSDK>(new PloverSDK(std::move(config), std::move(environment)));
}
std::shared_ptr<PloverSDK> PloverSDK::shared() {
    static auto instance = create(std::make_shared<PloverConfig>(""));
    return instance;
}
std::shared_ptr<PloverSDK> PloverSDK::with(std::shared_ptr<PloverConfig> config) { return with(config, PloverSDKEnvironment::process()); }
std::shared_ptr<PloverSDK> PloverSDK::with(std::shared_ptr<PloverConfig> config, PloverSDKEnvironment environment) {
    auto sdk = create(config, std::move(environment));
    sdk->setup(config);
    return sdk;
}
void PloverSDK::setEnvironment(PloverSDKEnvironment environment) { environment_ = std::move(environment); }
void PloverSDK::setup(std::shared_ptr<PloverConfig>) {}
void PloverSDK::close() {}
void PloverSDK::debug(bool) {}
void PloverSDK::setupLocked(std::shared_ptr<PloverConfig>) {}
void PloverSDK::closeLocked() {}
void PloverSDK::stopReachability() {}
Properties PloverSDK::defaultPersonProperties(const std::weak_ptr<PloverSDK>&) { return {}; }
Properties PloverSDK::storedSuperProperties(const PloverStorage&) const { return {}; }
PloverSDK::Groups PloverSDK::storedGroupsLocked(const PloverStorage&) const { return {}; }
std::shared_ptr<PloverConfig> PloverSDK::config() const { return config_; }
std::shared_ptr<PloverQueue> PloverSDK::queue() const { return queue_; }
std::shared_ptr<PloverQueue> PloverSDK::replayQueue() const { return replayQueue_; }
std::shared_ptr<PloverStorage> PloverSDK::storage() const { return storage_; }
std::shared_ptr<Reachability> PloverSDK::reachability() const { return reachability_; }
std::shared_ptr<PloverRemoteConfig> PloverSDK::remoteConfig() const { return remoteConfig_; }
std::shared_ptr<PloverContext> PloverSDK::context() const { return context_; }
PloverIntegrations PloverSDK::installedIntegrations() const { return installedIntegrations_; }
void PloverSDK::installIntegrations() {}
void PloverSDK::uninstallIntegrations() {}
bool PloverSDK::passesSetupGate() const { return false; }
bool PloverSDK::passesOptOutGate() const { return false; }
void PloverSDK::flush() {}
void PloverSDK::reset() {}
void PloverSDK::registerProperties(const Properties&) {}
void PloverSDK::unregisterProperties(const std::string&) {}
std::string PloverSDK::getDistinctId() { return {}; }
std::string PloverSDK::getAnonymousId() { return {}; }
std::optional<std::string> PloverSDK::getSessionId() { return {}; }
void PloverSDK::startSession() {}
void PloverSDK::endSession() {}
void PloverSDK::identify(const std::string&) {}
void PloverSDK::identify(const std::string&, const std::optional<Properties>&) {}
Properties PloverSDK::buildProperties(const std::string&, const std::optional<Properties>&,
                                      const std::optional<Properties>&, const std::optional<Properties>&,
                                      const std::optional<Groups>&, bool, const std::optional<Date>&) {
    return {};
}
Properties PloverSDK::buildFeatureFlagProperties() { return {}; }
bool PloverSDK::isPersonProcessingAllowed() { return false; }
bool PloverSDK::requirePersonProcessing() { return false; }
void PloverSDK::optIn() {}
void PloverSDK::optOut() {}
bool PloverSDK::isOptOut() { return true; }

}  // namespace plover
