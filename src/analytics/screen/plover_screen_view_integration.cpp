#include "analytics/screen/plover_screen_view_integration.hpp"

#include "analytics/util/debug_log.hpp"
#include "analytics/util/internal_plover_error.hpp"

namespace plover {

ScreenViewProcessState& ScreenViewProcessState::process() {
    static ScreenViewProcessState state;
    return state;
}

std::shared_ptr<PloverScreenViewIntegration> PloverScreenViewIntegration::create(
    std::shared_ptr<ScreenViewPublishing> publisher, ScreenViewProcessState& state) {
    return std::shared_ptr<PloverScreenViewIntegration>(new PloverScreenViewIntegration(std::move(publisher), state));
}

void PloverScreenViewIntegration::install(const std::shared_ptr<PloverSDK>& plover) {
    {
        std::lock_guard lock(state_.integrationInstalledLock);
        if (state_.integrationInstalled) {
            throw InternalPloverError("Autocapture integration already installed to another PloverSDK instance.");
        }
        state_.integrationInstalled = true;
    }
    {
        std::lock_guard lock(lock_);
        plover_ = plover;
        installed_ = true;
    }
    start();
}

void PloverScreenViewIntegration::uninstall(const std::shared_ptr<PloverSDK>& plover) {
    {
        std::lock_guard lock(lock_);
        // One that never installed does not own the process flag: clearing it would let a second
        // integration install beside the one that does.
        if (!installed_) return;
        auto current = plover_.lock();
        if (current && current != plover) return;
        plover_.reset();
        installed_ = false;
    }
    stop();
    std::lock_guard lock(state_.integrationInstalledLock);
    state_.integrationInstalled = false;
}

void PloverScreenViewIntegration::start() {
    std::weak_ptr<PloverScreenViewIntegration> weak = weak_from_this();
    auto token = publisher_->registerCallback([weak](const std::string& screenName) {
        if (auto self = weak.lock()) self->screenViewed(screenName);
    });
    std::unique_ptr<RegistrationToken> previous;
    {
        std::lock_guard lock(lock_);
        previous = std::exchange(screenViewToken_, std::move(token));
    }
    // Released here, outside the lock: releasing takes the publisher's lock.
}

void PloverScreenViewIntegration::stop() {
    std::unique_ptr<RegistrationToken> token;
    {
        std::lock_guard lock(lock_);
        token = std::move(screenViewToken_);
    }
}

void PloverScreenViewIntegration::screenViewed(const std::string& screenName) {
    std::shared_ptr<PloverSDK> plover;
    {
        std::lock_guard lock(lock_);
        plover = plover_.lock();
    }
    if (!plover) return;
    if (plover->config()->captureScreenViews) {
        plover->screen(screenName, std::nullopt);
    } else {
        ploverLog("[Plover] Skipping $screen event - captureScreenViews is disabled in configuration");
    }
}

}  // namespace plover
