#pragma once
// The current session id ("$session_id"): started on request, replaced after 30 minutes without
// activity or 24 hours of age, and cleared when such a limit passes in the background. Activity
// is the application's coming to the foreground and going to the background.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "analytics/util/dates.hpp"

namespace plover {

enum class SessionIDChangeReason {
    sessionIdEmpty,
    sessionStart,
    sessionEnd,
    sessionReset,
    sessionTimeout,
    sessionPastMaximumLength,
    customSessionId,
};
std::string_view rawValue(SessionIDChangeReason reason);
std::string_view caseName(SessionIDChangeReason reason);
std::optional<SessionIDChangeReason> sessionIDChangeReasonFromRawValue(std::string_view rawValue);

class PloverSessionManager : public std::enable_shared_from_this<PloverSessionManager> {
public:
    using Clock = std::function<Date()>;
    static constexpr double sessionActivityThreshold = 1800;
    static constexpr double sessionMaxLengthThreshold = 86400;

    // The process-wide manager.
    static std::shared_ptr<PloverSessionManager> shared();
    static std::shared_ptr<PloverSessionManager> create(
        std::shared_ptr<AppLifecyclePublishing> publisher = DI::main().appLifecyclePublisher(),
        Clock clock = [] { return std::chrono::system_clock::now(); });

    std::optional<std::string> getSessionId(std::optional<Date> at = std::nullopt, bool readOnly = false);
    void startSession(std::function<void()> completion = {});
    void endSession();
    void resetSession();
    void touchSession();
    std::optional<std::string> rotateSession(bool force, Date at, SessionIDChangeReason reason);
    void setSessionId(const std::string& sessionId);
    void setSessionIdWithReason(std::optional<std::string> sessionId, std::optional<Date> at,
                                SessionIDChangeReason reason);

private:
    explicit PloverSessionManager(Clock clock) : clock_(std::move(clock)) {}
    void observe(AppLifecyclePublishing& publisher);

    Clock clock_;
    std::mutex sessionLock_;
    std::optional<std::string> sessionId_;
    std::optional<double> sessionStartTimestamp_;
    std::optional<double> sessionActivityTimestamp_;
    bool isAppInBackground_ = true;
    std::unique_ptr<RegistrationToken> didBecomeActiveToken_;
    std::unique_ptr<RegistrationToken> didEnterBackgroundToken_;
};

}  // namespace plover
