#pragma once
// The call controller: refuses a start that cannot succeed, fetches the per-call credential,
// opens the call's conversation, switches on transcription of the user's speech once the
// connection is up, collects the finished messages into the transcript, ends the call on request,
// after the call limit or when the connection is lost, and uploads the transcript.
//
// Everything here is confined to the main executor. Each call has an id of its own; every task a
// call starts (connection wait, polling, time limit) checks that its call is still the current one
// whenever it resumes, so a late event of an ended call never touches a later call.

#include "app/transcript_entry.hpp"
#include "app/transcript_manager.hpp"
#include "app/usage_manager.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/tracked.hpp"
#include "realtime/model/item.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

// What the controller uses of one call's realtime conversation.
class CallConversation {
public:
    virtual ~CallConversation() = default;

    // The server has confirmed the session.
    virtual bool isConnected() const = 0;
    // The conversation's event stream is over (failed, closed by the server or disconnected):
    // nothing more will arrive on it.
    virtual bool hasEnded() const = 0;
    // Why the call's sound stopped for good (its sound server went away and did not come back);
    // null while it works.
    virtual std::exception_ptr audioFailure() const { return nullptr; }
    // The conversation's items, in the order the server created them.
    virtual const std::vector<realtime::Item>& entries() const = 0;
    // Opens the connection with the call's credential; the audio captured before goes out first,
    // in capture order. Throws when the credential cannot be used.
    virtual void connect(const std::string& token) = 0;
    // Starts capturing the microphone; throws when it cannot. What is captured before the
    // connection is open waits for it.
    virtual void startListening() = 0;
    virtual void stopListening() = 0;
    // Switches on transcription of the user's speech ("whisper-1") in the known session.
    virtual boost::asio::awaitable<void> enableTranscription() = 0;
};

class SessionManager : public std::enable_shared_from_this<SessionManager> {
public:
    // Why a start is refused; the values are the codes canStartSession() has always returned.
    enum class StartRefusal : std::uint8_t {
        none = 0,
        noHeadphones = 1,
        noNetwork = 2,
        noMicrophone = 3,
        noCallsLeft = 4,
        sessionInProgress = 5,
    };

    struct Timing {
        std::chrono::nanoseconds callLimit = std::chrono::seconds(600);
        std::chrono::nanoseconds pollPeriod = std::chrono::milliseconds(500);
        std::chrono::nanoseconds connectTimeout = std::chrono::seconds(15);
        // How the call's tasks wait (the connection wait, the polling and the call limit).
        using Sleep = std::function<boost::asio::awaitable<void>(boost::asio::any_io_executor, std::chrono::nanoseconds)>;
        Sleep sleep = &platform::sleepFor;
    };

    // What the controller asks of the rest of the application; every member must be set.
    struct Services {
        // The menu state is "calls available".
        std::function<bool()> callsAvailable;
        std::function<bool()> hasHeadphones;
        std::function<bool()> isNetworkReachable;
        std::function<bool()> hasMicrophone;
        // Fetches the call's credential, updating the usage counts it is given (may be null).
        std::function<boost::asio::awaitable<std::string>(std::shared_ptr<UsageManager>)> fetchSessionToken;
        // Makes the call's conversation without its connection, which connect() opens in the
        // background once the credential is back.
        std::function<std::shared_ptr<CallConversation>()> makeConversation;
        std::shared_ptr<TranscriptManager> transcriptManager;
    };

    // `main` is where the controller lives; `timers` runs its sleeps (normally the shared executor).
    static std::shared_ptr<SessionManager> create(boost::asio::any_io_executor main,
                                                  boost::asio::any_io_executor timers, Services services,
                                                  Timing timing);
    static std::shared_ptr<SessionManager> create(boost::asio::any_io_executor main,
                                                  boost::asio::any_io_executor timers, Services services) {
        return create(std::move(main), std::move(timers), std::move(services), Timing{});
    }
    ~SessionManager();
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // Start Call: refuses (showing why) or starts a call; returns at once.
    void startSession();
    // End Call: ends an active call, or gives up a start still waiting for its credential (the
    // request is cancelled, the microphone closed and what it captured dropped); otherwise does
    // nothing.
    void endSession();
    StartRefusal canStartSession() const;

    // The menu view hands over the usage counts the credential fetch updates.
    void setUsageManager(std::shared_ptr<UsageManager> usage) { usageManager_ = std::move(usage); }
    TranscriptManager& transcriptManager() { return *services_.transcriptManager; }

    static std::string_view refusalText(StartRefusal refusal);
    // The error line for a failed start: "No Microphone" for capture failures, else "Cannot Connect".
    static std::string errorText(std::exception_ptr error);

    // Published state, observed by the menu.
    platform::Tracked<std::shared_ptr<CallConversation>> conversation;
    platform::Tracked<bool> isConversationActive{false};
    platform::Tracked<bool> isStartingSession{false};
    platform::Tracked<bool> isSendingTranscript{false};
    platform::Tracked<std::optional<std::string>> errorMessage;

private:
    struct Call;

    SessionManager(boost::asio::any_io_executor main, boost::asio::any_io_executor timers, Services services,
                   Timing timing);

    void showStartRefusal(StartRefusal refusal);
    // Opens the call's conversation and its microphone as soon as the start is accepted.
    bool startListening(std::uint64_t callId);
    void startConversation(const std::string& token, std::uint64_t callId);
    void cancelStart();
    void handleSessionError(std::exception_ptr error, std::uint64_t callId);
    void startEventMonitoring(std::uint64_t callId);
    void collectTranscript(Call& call);
    // Ends the current call because its connection never opened or was lost.
    void failCall(std::uint64_t callId);
    // Ends the current call because its sound is gone; what was said is posted as at any end.
    void failCallWithoutSound(std::uint64_t callId, std::exception_ptr failure);
    bool isCurrent(std::uint64_t callId) const;

    // The call's tasks hold the controller weakly, so that dropping it ends them.
    static boost::asio::awaitable<void> connectThenConfigure(std::weak_ptr<SessionManager> weak, std::uint64_t callId);
    static boost::asio::awaitable<void> pollTranscript(std::weak_ptr<SessionManager> weak, std::uint64_t callId);
    static boost::asio::awaitable<void> limitCall(std::weak_ptr<SessionManager> weak, std::uint64_t callId);
    void spawnCallTask(platform::TaskHandle& handle,
                       boost::asio::awaitable<void> (*body)(std::weak_ptr<SessionManager>, std::uint64_t),
                       std::uint64_t callId);

    boost::asio::any_io_executor main_;
    boost::asio::any_io_executor timers_;
    Services services_;
    Timing timing_;
    std::shared_ptr<UsageManager> usageManager_;

    std::uint64_t lastCallId_ = 0;
    std::unique_ptr<Call> call_;
    platform::TaskHandle startTask_;
};

}  // namespace kestro
