#include "analytics/lifecycle/application_lifecycle_publisher.hpp"

#include <boost/asio/dispatch.hpp>

#include <vector>

#include "analytics/screen/screen_view_publisher.hpp"

namespace plover {

std::shared_ptr<BaseApplicationLifecyclePublisher> BaseApplicationLifecyclePublisher::create() {
    return std::shared_ptr<BaseApplicationLifecyclePublisher>(new BaseApplicationLifecyclePublisher());
}

std::map<std::uint64_t, AppLifecyclePublishing::Callback>& BaseApplicationLifecyclePublisher::callbacks(Kind kind) {
    switch (kind) {
        case Kind::didBecomeActive: return didBecomeActiveCallbacks_;
        case Kind::didEnterBackground: return didEnterBackgroundCallbacks_;
        case Kind::didFinishLaunching: break;
    }
    return didFinishLaunchingCallbacks_;
}

std::unique_ptr<RegistrationToken> BaseApplicationLifecyclePublisher::add(Kind kind, Callback callback) {
    std::uint64_t id;
    {
        std::lock_guard lock(registrationLock_);
        id = nextId_++;
        callbacks(kind).emplace(id, std::move(callback));
    }
    std::weak_ptr<BaseApplicationLifecyclePublisher> weak = weak_from_this();
    return std::make_unique<RegistrationToken>([weak, kind, id] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->registrationLock_);
            self->callbacks(kind).erase(id);
        }
    });
}

std::unique_ptr<RegistrationToken> BaseApplicationLifecyclePublisher::onDidBecomeActive(Callback callback) {
    return add(Kind::didBecomeActive, std::move(callback));
}

std::unique_ptr<RegistrationToken> BaseApplicationLifecyclePublisher::onDidEnterBackground(Callback callback) {
    return add(Kind::didEnterBackground, std::move(callback));
}

std::unique_ptr<RegistrationToken> BaseApplicationLifecyclePublisher::onDidFinishLaunching(Callback callback) {
    return add(Kind::didFinishLaunching, std::move(callback));
}

void BaseApplicationLifecyclePublisher::setMainExecutor(boost::asio::any_io_executor main) {
    std::lock_guard lock(registrationLock_);
    main_ = std::move(main);
}

void BaseApplicationLifecyclePublisher::dispatch(Kind kind) {
    std::vector<Callback> toCall;
    std::optional<boost::asio::any_io_executor> main;
    {
        std::lock_guard lock(registrationLock_);
        for (auto& [id, callback] : callbacks(kind)) toCall.push_back(callback);
        main = main_;
    }
    for (auto& callback : toCall) {
        if (main) {
            boost::asio::dispatch(*main, callback);
        } else {
            callback();
        }
    }
}

std::shared_ptr<ApplicationLifecyclePublisher> ApplicationLifecyclePublisher::shared() {
    static std::shared_ptr<ApplicationLifecyclePublisher> publisher(new ApplicationLifecyclePublisher());
    return publisher;
}

namespace DI {

std::shared_ptr<AppLifecyclePublishing> Container::appLifecyclePublisher() {
    std::lock_guard lock(mutex_);
    if (!appLifecyclePublisher_) appLifecyclePublisher_ = ApplicationLifecyclePublisher::shared();
    return appLifecyclePublisher_;
}

std::shared_ptr<ScreenViewPublishing> Container::screenViewPublisher() {
    std::lock_guard lock(mutex_);
    if (!screenViewPublisher_) screenViewPublisher_ = ApplicationScreenViewPublisher::shared();
    return screenViewPublisher_;
}

Container& main() {
    static Container container;
    return container;
}

}  // namespace DI

}  // namespace plover
