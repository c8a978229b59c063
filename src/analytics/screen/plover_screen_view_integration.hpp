#pragma once
// Sends every screen view reported to the process's screen-view publisher as a "$screen" event
// of the instance it is installed on. Only one integration is installed at a time in a process.

#include <memory>
#include <mutex>
#include <string>

#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "analytics/screen/screen_view_publisher.hpp"
#include "analytics/sdk/plover_sdk.hpp"

namespace plover {

// What is shared by every screen-view integration of a process.
struct ScreenViewProcessState {
    std::mutex integrationInstalledLock;
    bool integrationInstalled = false;

    static ScreenViewProcessState& process();
};

class PloverScreenViewIntegration : public PloverIntegration,
                                    public std::enable_shared_from_this<PloverScreenViewIntegration> {
public:
    static std::shared_ptr<PloverScreenViewIntegration> create(
        std::shared_ptr<ScreenViewPublishing> publisher = DI::main().screenViewPublisher(),
        ScreenViewProcessState& state = ScreenViewProcessState::process());

    // Throws InternalPloverError when another integration is installed in the process.
    void install(const std::shared_ptr<PloverSDK>& plover) override;
    // Does nothing when not installed, or installed for another instance that still lives.
    void uninstall(const std::shared_ptr<PloverSDK>& plover) override;
    std::string typeName() const override { return "PloverScreenViewIntegration"; }

private:
    PloverScreenViewIntegration(std::shared_ptr<ScreenViewPublishing> publisher, ScreenViewProcessState& state)
        : publisher_(std::move(publisher)), state_(state) {}
    void start();
    void stop();
    void screenViewed(const std::string& screenName);

    std::shared_ptr<ScreenViewPublishing> publisher_;
    ScreenViewProcessState& state_;
    // Install, uninstall and the callback may run on different threads.
    std::mutex lock_;
    std::weak_ptr<PloverSDK> plover_;
    bool installed_ = false;
    std::unique_ptr<RegistrationToken> screenViewToken_;
};

}  // namespace plover
