#pragma once
// Screen views fanned out to registered callbacks. Whatever knows that a screen came up (a view
// of the application, a window manager hook) reports its name with `screenViewed`; every callback
// registered at that moment is called with it, on the reporting thread. A callback stays
// registered while its token lives.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "analytics/util/uuid.hpp"

namespace plover {

class ScreenViewPublishing {
public:
    using Callback = std::function<void(const std::string& screenName)>;
    virtual ~ScreenViewPublishing() = default;
    [[nodiscard]] virtual std::unique_ptr<RegistrationToken> registerCallback(Callback callback) = 0;
};

class BaseScreenViewPublisher : public ScreenViewPublishing,
                                public std::enable_shared_from_this<BaseScreenViewPublisher> {
public:
    static std::shared_ptr<BaseScreenViewPublisher> create();

    std::unique_ptr<RegistrationToken> registerCallback(Callback callback) override;

    // Calls every registered callback with the screen's name. The callbacks run without the
    // registration lock held, so one may register or release tokens itself.
    void screenViewed(const std::string& screenName);

protected:
    BaseScreenViewPublisher() = default;

private:
    std::mutex registrationLock_;
    std::map<Uuid, Callback> onScreenViewCallbacks_;
};

class ApplicationScreenViewPublisher : public BaseScreenViewPublisher {
public:
    // The process-wide publisher, made on first use.
    static std::shared_ptr<ApplicationScreenViewPublisher> shared();

private:
    ApplicationScreenViewPublisher() = default;
};

}  // namespace plover
