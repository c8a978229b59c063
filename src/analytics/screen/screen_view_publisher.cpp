#include "analytics/screen/screen_view_publisher.hpp"

#include <vector>

#include "analytics/util/time_based_epoch_generator.hpp"

namespace plover {

std::shared_ptr<BaseScreenViewPublisher> BaseScreenViewPublisher::create() {
    return std::shared_ptr<BaseScreenViewPublisher>(new BaseScreenViewPublisher());
}

std::unique_ptr<RegistrationToken> BaseScreenViewPublisher::registerCallback(Callback callback) {
    // Identifiers of the generator never repeat within a process.
    const Uuid id = TimeBasedEpochGenerator::v7();
    {
        std::lock_guard lock(registrationLock_);
        onScreenViewCallbacks_.emplace(id, std::move(callback));
    }
    std::weak_ptr<BaseScreenViewPublisher> weak = weak_from_this();
    return std::make_unique<RegistrationToken>([weak, id] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->registrationLock_);
            self->onScreenViewCallbacks_.erase(id);
        }
    });
}

void BaseScreenViewPublisher::screenViewed(const std::string& screenName) {
    std::vector<Callback> toCall;
    {
        std::lock_guard lock(registrationLock_);
        toCall.reserve(onScreenViewCallbacks_.size());
        for (auto& [id, callback] : onScreenViewCallbacks_) toCall.push_back(callback);
    }
    for (auto& callback : toCall) callback(screenName);
}

std::shared_ptr<ApplicationScreenViewPublisher> ApplicationScreenViewPublisher::shared() {
    static std::shared_ptr<ApplicationScreenViewPublisher> publisher(new ApplicationScreenViewPublisher());
    return publisher;
}

}  // namespace plover
