#include <memory>
#include <mutex>
#include <vector>

#include "analytics/lifecycle/plover_app_life_cycle_integration.hpp"
#include "analytics/screen/plover_screen_view_integration.hpp"
#include "analytics/sdk/plover_sdk.hpp"

namespace plover {

namespace {

// What the lifecycle integration sees of the instance it was installed on.
class LifecycleTarget : public PloverLifecycleTarget {
public:
    explicit LifecycleTarget(std::weak_ptr<PloverSDK> sdk) : sdk_(std::move(sdk)) {}

    // The configuration is replaced on close; every one handed out here is kept, so a reference
    // taken just before stays valid.
    const PloverConfig& config() const override {
        auto sdk = sdk_.lock();
        std::lock_guard lock(mutex_);
        if (!sdk) {
            if (!gone_) gone_ = std::make_shared<PloverConfig>("");
            return *gone_;
        }
        auto config = sdk->config();
        if (seen_.empty() || seen_.back() != config) seen_.push_back(config);
        return *config;
    }

    void capture(const std::string& event, const Properties& properties) override {
        if (auto sdk = sdk_.lock()) sdk->capture(event, std::optional<Properties>(properties));
    }

private:
    std::weak_ptr<PloverSDK> sdk_;
    mutable std::mutex mutex_;
    mutable std::vector<std::shared_ptr<PloverConfig>> seen_;
    mutable std::shared_ptr<PloverConfig> gone_;
};

class LifecycleIntegration : public PloverIntegration {
public:
    void install(const std::shared_ptr<PloverSDK>& plover) override {
        auto target = std::make_shared<LifecycleTarget>(plover);
        integration_->install(target);
        target_ = std::move(target);
    }
    void uninstall(const std::shared_ptr<PloverSDK>&) override {
        integration_->uninstall(target_);
        target_.reset();
    }
    std::string typeName() const override { return "PloverAppLifeCycleIntegration"; }

    explicit LifecycleIntegration(ApplicationInfo application)
        : integration_(PloverAppLifeCycleIntegration::create(std::move(application))) {}

private:
    std::shared_ptr<PloverAppLifeCycleIntegration> integration_;
    std::shared_ptr<LifecycleTarget> target_;
};

}  // namespace

PloverIntegrations makeIntegrations(const PloverConfig& config, const ApplicationInfo& application) {
    PloverIntegrations integrations;
    if (config.captureScreenViews) integrations.push_back(PloverScreenViewIntegration::create());
    if (config.captureApplicationLifecycleEvents) {
        integrations.push_back(std::make_shared<LifecycleIntegration>(application));
    }
    return integrations;
}

}  // namespace plover
