#include "analytics/session/plover_session_manager.hpp"

#include <array>

#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics/util/debug_log.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"

namespace plover {

namespace {

struct ReasonNames {
    SessionIDChangeReason reason;
    std::string_view caseName;
    std::string_view rawValue;
};

constexpr std::array<ReasonNames, 7> reasonNames = {{
    {SessionIDChangeReason::sessionIdEmpty, "sessionIdEmpty", "Session id was empty"},
    {SessionIDChangeReason::sessionStart, "sessionStart", "Session started"},
    {SessionIDChangeReason::sessionEnd, "sessionEnd", "Session ended"},
    {SessionIDChangeReason::sessionReset, "sessionReset", "Session was reset"},
    {SessionIDChangeReason::sessionTimeout, "sessionTimeout", "Session timed out"},
    {SessionIDChangeReason::sessionPastMaximumLength, "sessionPastMaximumLength", "Session past maximum length"},
    {SessionIDChangeReason::customSessionId, "customSessionId", "Custom session set"},
}};

bool embedded() { return ploverSdkName() == "plover-react-native"; }

std::string newId() { return TimeBasedEpochGenerator::v7().toString(); }

}  // namespace

std::string_view rawValue(SessionIDChangeReason reason) { return reasonNames[static_cast<std::size_t>(reason)].rawValue; }

std::string_view caseName(SessionIDChangeReason reason) { return reasonNames[static_cast<std::size_t>(reason)].caseName; }

std::optional<SessionIDChangeReason> sessionIDChangeReasonFromRawValue(std::string_view raw) {
    for (auto& names : reasonNames) {
        if (names.rawValue == raw) return names.reason;
    }
    return std::nullopt;
}

std::shared_ptr<PloverSessionManager> PloverSessionManager::shared() {
    static std::shared_ptr<PloverSessionManager> manager = create();
    return manager;
}

std::shared_ptr<PloverSessionManager> PloverSessionManager::create(std::shared_ptr<AppLifecyclePublishing> publisher,
                                                                   Clock clock) {
    std::shared_ptr<PloverSessionManager> manager(new PloverSessionManager(std::move(clock)));
    if (publisher) manager->observe(*publisher);
    return manager;
}

void PloverSessionManager::observe(AppLifecyclePublishing& publisher) {
    std::weak_ptr<PloverSessionManager> weak = weak_from_this();
    didBecomeActiveToken_ = publisher.onDidBecomeActive([weak] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->sessionLock_);
            if (!self->isAppInBackground_) return;
        }
        self->touchSession();
        std::lock_guard lock(self->sessionLock_);
        self->isAppInBackground_ = false;
    });
    didEnterBackgroundToken_ = publisher.onDidEnterBackground([weak] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->sessionLock_);
            if (self->isAppInBackground_) return;
        }
        self->touchSession();
        std::lock_guard lock(self->sessionLock_);
        self->isAppInBackground_ = true;
    });
}

void PloverSessionManager::setSessionIdWithReason(std::optional<std::string> sessionId, std::optional<Date> at,
                                                  SessionIDChangeReason reason) {
    std::optional<double> t;
    if (at) t = secondsSince1970(*at);
    {
        std::lock_guard lock(sessionLock_);
        sessionId_ = sessionId;
        sessionStartTimestamp_ = t;
        sessionActivityTimestamp_ = t;
    }
    if (sessionId) {
        ploverLog("[Plover] New session id created " + *sessionId + " (" + std::string(caseName(reason)) + ")");
    } else {
        ploverLog("[Plover] Session id cleared - reason: (" + std::string(caseName(reason)) + ")");
    }
}

std::optional<std::string> PloverSessionManager::getSessionId(std::optional<Date> at, bool readOnly) {
    Date when = at.value_or(clock_());
    std::optional<std::string> id;
    std::optional<double> start;
    std::optional<double> activity;
    bool background;
    {
        std::lock_guard lock(sessionLock_);
        id = sessionId_;
        start = sessionStartTimestamp_;
        activity = sessionActivityTimestamp_;
        background = isAppInBackground_;
    }
    double now = secondsSince1970(when);
    if (embedded() || readOnly) return id;
    if ((!id || id->empty()) && !background) {
        std::string fresh = newId();
        setSessionIdWithReason(fresh, when, SessionIDChangeReason::sessionIdEmpty);
        return fresh;
    }
    auto limitPassed = [&](SessionIDChangeReason reason) -> std::optional<std::string> {
        if (background) {
            setSessionIdWithReason(std::nullopt, std::nullopt, reason);
            return std::nullopt;
        }
        return rotateSession(false, when, reason);
    };
    if (activity && now - *activity > sessionActivityThreshold) return limitPassed(SessionIDChangeReason::sessionTimeout);
    if (start && now - *start > sessionMaxLengthThreshold) {
        return limitPassed(SessionIDChangeReason::sessionPastMaximumLength);
    }
    return id;
}

std::optional<std::string> PloverSessionManager::rotateSession(bool force, Date at, SessionIDChangeReason reason) {
    if (!force) {
        std::optional<std::string> id;
        {
            std::lock_guard lock(sessionLock_);
            id = sessionId_;
        }
        if (!id || id->empty()) return id;
    }
    std::string fresh = newId();
    setSessionIdWithReason(fresh, at, reason);
    return fresh;
}

void PloverSessionManager::startSession(std::function<void()> completion) {
    if (embedded()) return;
    setSessionIdWithReason(newId(), clock_(), SessionIDChangeReason::sessionStart);
    if (completion) completion();
}

void PloverSessionManager::endSession() {
    if (embedded()) return;
    setSessionIdWithReason(std::nullopt, std::nullopt, SessionIDChangeReason::sessionEnd);
}

void PloverSessionManager::resetSession() {
    if (embedded()) return;
    setSessionIdWithReason(newId(), clock_(), SessionIDChangeReason::sessionReset);
}

void PloverSessionManager::touchSession() {
    if (embedded()) return;
    std::optional<std::string> id;
    std::optional<double> activity;
    {
        std::lock_guard lock(sessionLock_);
        id = sessionId_;
        activity = sessionActivityTimestamp_;
    }
    if (!id) return;
    Date now = clock_();
    if (activity && secondsSince1970(now) - *activity > sessionActivityThreshold) {
        rotateSession(false, now, SessionIDChangeReason::sessionTimeout);
        return;
    }
    std::lock_guard lock(sessionLock_);
    sessionActivityTimestamp_ = secondsSince1970(now);
}

void PloverSessionManager::setSessionId(const std::string& sessionId) {
    setSessionIdWithReason(sessionId, clock_(), SessionIDChangeReason::customSessionId);
}

}  // namespace plover
