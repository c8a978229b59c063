#pragma once
// The host application's lifecycle (launched, became active, stopped being active) fanned out to
// registered callbacks. The host reports each change; callbacks run on the main executor once
// one is set (at once when the report comes from it), else on the reporting thread. A callback
// stays registered while its token lives.

#include <boost/asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace plover {

class RegistrationToken {
public:
    explicit RegistrationToken(std::function<void()> onDealloc) : onDealloc_(std::move(onDealloc)) {}
    ~RegistrationToken() {
        if (onDealloc_) onDealloc_();
    }
    RegistrationToken(const RegistrationToken&) = delete;
    RegistrationToken& operator=(const RegistrationToken&) = delete;

private:
    std::function<void()> onDealloc_;
};

class AppLifecyclePublishing {
public:
    using Callback = std::function<void()>;
    virtual ~AppLifecyclePublishing() = default;
    [[nodiscard]] virtual std::unique_ptr<RegistrationToken> onDidBecomeActive(Callback callback) = 0;
    [[nodiscard]] virtual std::unique_ptr<RegistrationToken> onDidEnterBackground(Callback callback) = 0;
    [[nodiscard]] virtual std::unique_ptr<RegistrationToken> onDidFinishLaunching(Callback callback) = 0;
};

class BaseApplicationLifecyclePublisher : public AppLifecyclePublishing,
                                          public std::enable_shared_from_this<BaseApplicationLifecyclePublisher> {
public:
    static std::shared_ptr<BaseApplicationLifecyclePublisher> create();

    std::unique_ptr<RegistrationToken> onDidBecomeActive(Callback callback) override;
    std::unique_ptr<RegistrationToken> onDidEnterBackground(Callback callback) override;
    std::unique_ptr<RegistrationToken> onDidFinishLaunching(Callback callback) override;

    void setMainExecutor(boost::asio::any_io_executor main);

    // What the host reports.
    void appDidFinishLaunching() { dispatch(Kind::didFinishLaunching); }
    void appDidEnterBackground() { dispatch(Kind::didEnterBackground); }
    void appDidBecomeActive() { dispatch(Kind::didBecomeActive); }

protected:
    BaseApplicationLifecyclePublisher() = default;

private:
    enum class Kind { didBecomeActive, didEnterBackground, didFinishLaunching };
    std::unique_ptr<RegistrationToken> add(Kind kind, Callback callback);
    void dispatch(Kind kind);
    std::map<std::uint64_t, Callback>& callbacks(Kind kind);

    std::mutex registrationLock_;
    std::map<std::uint64_t, Callback> didBecomeActiveCallbacks_;
    std::map<std::uint64_t, Callback> didEnterBackgroundCallbacks_;
    std::map<std::uint64_t, Callback> didFinishLaunchingCallbacks_;
    std::uint64_t nextId_ = 1;
    std::optional<boost::asio::any_io_executor> main_;
};

class ApplicationLifecyclePublisher : public BaseApplicationLifecyclePublisher {
public:
    // The process-wide publisher.
    static std::shared_ptr<ApplicationLifecyclePublisher> shared();

private:
    ApplicationLifecyclePublisher() = default;
};

class ScreenViewPublishing;

namespace DI {

// The process-wide parts of the client.
class Container {
public:
    std::shared_ptr<AppLifecyclePublishing> appLifecyclePublisher();
    std::shared_ptr<ScreenViewPublishing> screenViewPublisher();

private:
    std::mutex mutex_;
    std::shared_ptr<AppLifecyclePublishing> appLifecyclePublisher_;
    std::shared_ptr<ScreenViewPublishing> screenViewPublisher_;
};

Container& main();

}  // namespace DI

}  // namespace plover
