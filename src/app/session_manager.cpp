#include "app/session_manager.hpp"

#include "app/transcript_collection.hpp"
#include "platform/audio/audio_errors.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cctype>
#include <iostream>

namespace kestro {

namespace asio = boost::asio;

namespace {

constexpr std::string_view cannotConnect = "Cannot Connect";
constexpr std::string_view noMicrophone = "No Microphone";

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool isCancellation(const boost::system::system_error& error) {
    return error.code() == asio::error::operation_aborted;
}

}  // namespace

struct SessionManager::Call {
    std::uint64_t id = 0;
    std::shared_ptr<CallConversation> conversation;
    // Message ids already turned into entries; one set for the whole call, so that the final
    // collection at its end never repeats an entry.
    std::set<std::string> processedIds;
    platform::TaskHandle connectTask;
    platform::TaskHandle eventMonitoringTask;
    platform::TaskHandle timeoutTask;
};

std::shared_ptr<SessionManager> SessionManager::create(asio::any_io_executor main, asio::any_io_executor timers,
                                                       Services services, Timing timing) {
    return std::shared_ptr<SessionManager>(
        new SessionManager(std::move(main), std::move(timers), std::move(services), timing));
}

SessionManager::SessionManager(asio::any_io_executor main, asio::any_io_executor timers, Services services,
                               Timing timing)
    : main_(std::move(main)), timers_(std::move(timers)), services_(std::move(services)), timing_(timing) {
}

SessionManager::~SessionManager() = default;

std::string_view SessionManager::refusalText(StartRefusal refusal) {
    switch (refusal) {
        case StartRefusal::none: return {};
        case StartRefusal::noHeadphones: return "No Headphones";
        case StartRefusal::noNetwork: return "No Internet";
        case StartRefusal::noMicrophone: return noMicrophone;
        case StartRefusal::noCallsLeft: return "No Calls Left";
        case StartRefusal::sessionInProgress: return "Session already in progress";
    }
    return {};
}

std::string SessionManager::errorText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const platform::AudioError&) {
        // Engine start, converter, no capture device.
        return std::string(noMicrophone);
    } catch (const std::exception& failure) {
        // Other failures by their text: a capture problem reported by some other layer.
        const std::string text = lowered(failure.what());
        if (text.find("microphone") != std::string::npos || text.find("audio") != std::string::npos) {
            return std::string(noMicrophone);
        }
    } catch (...) {
    }
    return std::string(cannotConnect);
}

SessionManager::StartRefusal SessionManager::canStartSession() const {
    if (isConversationActive.get() || isStartingSession.get() || isSendingTranscript.get()) {
        return StartRefusal::sessionInProgress;
    }
    if (!services_.callsAvailable()) return StartRefusal::noCallsLeft;
    // All three are looked at, whatever the first answers.
    const bool microphone = services_.hasMicrophone();
    const bool network = services_.isNetworkReachable();
    const bool headphones = services_.hasHeadphones();
    if (!headphones) return StartRefusal::noHeadphones;
    if (!network) return StartRefusal::noNetwork;
    if (!microphone) return StartRefusal::noMicrophone;
    return StartRefusal::none;
}

void SessionManager::startSession() {
    if (auto refusal = canStartSession(); refusal != StartRefusal::none) {
        showStartRefusal(refusal);
        return;
    }
    isStartingSession = true;
    errorMessage = std::nullopt;
    const auto callId = ++lastCallId_;
    if (!startListening(callId)) return;
    std::weak_ptr<SessionManager> weak = weak_from_this();
    startTask_ = platform::spawnTask(
        main_, [weak, callId, fetch = services_.fetchSessionToken,
                usage = usageManager_]() -> asio::awaitable<void> {
            std::string token;
            try {
                token = co_await fetch(usage);
            } catch (...) {
                if (auto self = weak.lock()) self->handleSessionError(std::current_exception(), callId);
                co_return;
            }
            if (auto self = weak.lock()) self->startConversation(token, callId);
        });
}

void SessionManager::showStartRefusal(StartRefusal refusal) {
    asio::post(main_, [weak = weak_from_this(), refusal] {
        if (auto self = weak.lock()) self->errorMessage = std::string(refusalText(refusal));
    });
}

bool SessionManager::startListening(std::uint64_t callId) {
    // What the user says while the credential is fetched waits in the conversation's backlog.
    call_ = std::make_unique<Call>();
    call_->id = callId;
    try {
        call_->conversation = services_.makeConversation();
        call_->conversation->startListening();
    } catch (...) {
        handleSessionError(std::current_exception(), callId);
        return false;
    }
    return true;
}

void SessionManager::startConversation(const std::string& token, std::uint64_t callId) {
    if (!isCurrent(callId)) return;
    auto opened = call_->conversation;
    try {
        opened->connect(token);
    } catch (...) {
        handleSessionError(std::current_exception(), callId);
        return;
    }
    conversation = opened;
    services_.transcriptManager->sessionEntries.clear();

    spawnCallTask(call_->connectTask, &SessionManager::connectThenConfigure, callId);
    isConversationActive = true;
    isStartingSession = false;
    spawnCallTask(call_->timeoutTask, &SessionManager::limitCall, callId);
}

void SessionManager::spawnCallTask(platform::TaskHandle& handle,
                                   asio::awaitable<void> (*body)(std::weak_ptr<SessionManager>, std::uint64_t),
                                   std::uint64_t callId) {
    handle = platform::spawnTask(main_, [body, weak = weak_from_this(), callId]() -> asio::awaitable<void> {
        co_await body(weak, callId);
    });
}

bool SessionManager::isCurrent(std::uint64_t callId) const {
    return call_ && call_->id == callId;
}

asio::awaitable<void> SessionManager::connectThenConfigure(std::weak_ptr<SessionManager> weak,
                                                           std::uint64_t callId) {
    asio::any_io_executor timers;
    Timing::Sleep sleep;
    std::chrono::nanoseconds pollPeriod{};
    platform::ContinuousClock::time_point deadline;
    if (auto self = weak.lock()) {
        timers = self->timers_;
        sleep = self->timing_.sleep;
        pollPeriod = self->timing_.pollPeriod;
        deadline = platform::ContinuousClock::now() + self->timing_.connectTimeout;
    } else {
        co_return;
    }
    std::shared_ptr<CallConversation> opened;
    for (;;) {
        {
            auto self = weak.lock();
            if (!self || !self->isCurrent(callId)) co_return;
            opened = self->call_->conversation;
            if (auto failure = opened->audioFailure()) {
                self->failCallWithoutSound(callId, failure);
                co_return;
            }
            if (opened->isConnected()) break;
            const auto now = platform::ContinuousClock::now();
            if (opened->hasEnded() || now >= deadline) {
                // Only an active call can fail; a start still in progress is refused by its own error.
                self->failCall(callId);
                co_return;
            }
            opened.reset();
        }
        try {
            co_await sleep(timers, std::min<std::chrono::nanoseconds>(
                                                    pollPeriod, deadline - platform::ContinuousClock::now()));
        } catch (const boost::system::system_error& error) {
            if (isCancellation(error)) co_return;
            throw;
        }
    }

    try {
        co_await opened->enableTranscription();
    } catch (...) {
        // Without transcription the user's side stays empty, but the call goes on; the polling
        // below still collects the assistant's side and notices a lost connection.
    }
    opened.reset();
    if (auto self = weak.lock(); self && self->isCurrent(callId) && self->isConversationActive.get()) {
        self->startEventMonitoring(callId);
    }
}

void SessionManager::startEventMonitoring(std::uint64_t callId) {
    if (!isCurrent(callId) || !call_->conversation) return;
    spawnCallTask(call_->eventMonitoringTask, &SessionManager::pollTranscript, callId);
}

void SessionManager::collectTranscript(Call& call) {
    if (!call.conversation) return;
    updateTranscript(call.conversation->entries(), call.processedIds, services_.transcriptManager->sessionEntries,
                     std::chrono::system_clock::now());
}

asio::awaitable<void> SessionManager::pollTranscript(std::weak_ptr<SessionManager> weak, std::uint64_t callId) {
    asio::any_io_executor timers;
    Timing::Sleep sleep;
    std::chrono::nanoseconds pollPeriod{};
    if (auto self = weak.lock()) {
        timers = self->timers_;
        sleep = self->timing_.sleep;
        pollPeriod = self->timing_.pollPeriod;
    }
    for (;;) {
        {
            auto self = weak.lock();
            if (!self || !self->isCurrent(callId) || !self->isConversationActive.get()) co_return;
            self->collectTranscript(*self->call_);
            if (auto failure = self->call_->conversation->audioFailure()) {
                self->failCallWithoutSound(callId, failure);
                co_return;
            }
            if (self->call_->conversation->hasEnded()) {
                self->failCall(callId);
                co_return;
            }
        }
        try {
            co_await sleep(timers, pollPeriod);
        } catch (const boost::system::system_error& error) {
            if (isCancellation(error)) co_return;
            throw;
        }
    }
}

asio::awaitable<void> SessionManager::limitCall(std::weak_ptr<SessionManager> weak, std::uint64_t callId) {
    asio::any_io_executor timers;
    Timing::Sleep sleep;
    std::chrono::nanoseconds callLimit{};
    if (auto self = weak.lock()) {
        timers = self->timers_;
        sleep = self->timing_.sleep;
        callLimit = self->timing_.callLimit;
    } else {
        co_return;
    }
    try {
        co_await sleep(timers, callLimit);
    } catch (const boost::system::system_error& error) {
        if (isCancellation(error)) co_return;
        throw;
    }
    if (auto self = weak.lock(); self && self->isCurrent(callId) && self->isConversationActive.get()) {
        self->endSession();
    }
}

void SessionManager::failCall(std::uint64_t callId) {
    if (!isCurrent(callId) || !isConversationActive.get()) return;
    endSession();
    errorMessage = std::string(cannotConnect);
}

void SessionManager::failCallWithoutSound(std::uint64_t callId, std::exception_ptr failure) {
    if (!isCurrent(callId) || !isConversationActive.get()) return;
    std::string reason = "the sound stopped";
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
    }
    std::cerr << ("kestro: the call is ended, its microphone and speaker are gone: " + reason + "\n") << std::flush;
    endSession();
    errorMessage = errorText(failure);
}

void SessionManager::endSession() {
    if (!isConversationActive.get()) {
        if (isStartingSession.get()) cancelStart();
        return;
    }
    isConversationActive = false;
    isStartingSession = false;
    isSendingTranscript = true;

    auto ended = std::move(call_);
    ended->eventMonitoringTask.cancel();
    ended->timeoutTask.cancel();
    ended->connectTask.cancel();
    if (ended->conversation) {
        // Messages finished since the last poll belong to the transcript too.
        collectTranscript(*ended);
        ended->conversation->stopListening();
    }
    conversation = nullptr;
    errorMessage = std::nullopt;
    ended.reset();  // releasing the conversation closes its connection

    asio::co_spawn(
        main_,
        [weak = weak_from_this(), transcripts = services_.transcriptManager]() -> asio::awaitable<void> {
            co_await transcripts->sendTranscript();
            if (auto self = weak.lock()) self->isSendingTranscript = false;
        },
        asio::detached);
}

void SessionManager::cancelStart() {
    startTask_.cancel();  // the credential request with it
    auto abandoned = std::move(call_);
    if (abandoned && abandoned->conversation) abandoned->conversation->stopListening();
    isStartingSession = false;
    abandoned.reset();  // releasing the conversation drops what its microphone captured
}

void SessionManager::handleSessionError(std::exception_ptr error, std::uint64_t callId) {
    asio::post(main_, [weak = weak_from_this(), error, callId] {
        auto self = weak.lock();
        if (!self || !self->isCurrent(callId)) return;
        self->conversation = nullptr;
        self->call_.reset();  // cancels the call's tasks and lets its conversation go
        self->isConversationActive = false;
        self->isStartingSession = false;
        self->errorMessage = errorText(error);
    });
}

}  // namespace kestro
