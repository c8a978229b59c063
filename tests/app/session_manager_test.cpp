#include "app/graceful_exit.hpp"
#include "app/session_manager.hpp"
#include "app/transcript_outbox.hpp"
#include "platform/audio/audio_errors.hpp"
#include "support/backend_environment.hpp"
#include "support/test_runtime.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace fs = std::filesystem;
using kestro::SessionManager;
using kestro::TranscriptEntry;
using realtime::Item;
using Content = Item::Message::Content;

class FakeConversation : public kestro::CallConversation {
public:
    bool connected = false, ended = false;
    std::vector<Item> items;
    std::exception_ptr listenError, transcriptionError;
    int listenCalls = 0, stopCalls = 0, transcriptionCalls = 0;

    // The credentials it was given, and whether it listened before the first.
    std::vector<std::string> tokens;
    bool listenedBeforeConnecting = false;
    std::exception_ptr connectError;

    bool isConnected() const override { return connected; }
    bool hasEnded() const override { return ended; }
    const std::vector<Item>& entries() const override { return items; }
    void connect(const std::string& token) override {
        if (tokens.empty()) listenedBeforeConnecting = listenCalls > stopCalls;
        tokens.push_back(token);
        if (connectError) std::rethrow_exception(connectError);
    }
    void startListening() override {
        ++listenCalls;
        if (listenError) std::rethrow_exception(listenError);
    }
    void stopListening() override { ++stopCalls; }
    asio::awaitable<void> enableTranscription() override {
        ++transcriptionCalls;
        if (transcriptionError) std::rethrow_exception(transcriptionError);
        co_return;
    }
};

Item userSaid(std::string id, std::optional<std::string> transcript) {
    return Item::Message(std::move(id), Item::ItemRole::user, {Content::input_audio({{}, std::move(transcript)})});
}
Content spoken(std::optional<std::string> transcript) { return Content::audio({{}, std::move(transcript)}); }
Item assistantSaid(std::string id, std::vector<Content> content) {
    return Item::Message(std::move(id), Item::ItemRole::assistant, std::move(content));
}

class SessionManagerTest : public ::testing::Test {
protected:
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> busy = asio::make_work_guard(io);

    bool callsAvailable = true, headphones = true, network = true, microphone = true;
    int deviceChecks = 0, fetches = 0;
    std::exception_ptr fetchError, listenError;
    // While set, a fetch waits until the test opens the gate (openGate()) or the start is cancelled.
    std::shared_ptr<asio::steady_timer> fetchGate;
    bool gateOpened = false, fetchCancelled = false;
    std::vector<std::shared_ptr<FakeConversation>> made;
    support::BackendEnvironment backend;
    std::shared_ptr<kestro::TranscriptManager> transcripts =
        std::make_shared<kestro::TranscriptManager>(backend.network, std::nullopt);
    SessionManager::Timing timing{600s, 10ms, 300ms};
    std::shared_ptr<SessionManager> manager;

    void SetUp() override {
        backend.storeCredential();
        backend.backend.setReply("/transcript", support::ScriptedReply::json(200, "{}"));
    }

    // Each transcript the backend received, as "role:content:type" lines.
    std::vector<std::vector<std::string>> uploads() const {
        std::vector<std::vector<std::string>> posted;
        for (const auto& request : backend.backend.requestsTo("/transcript")) {
            posted.emplace_back();
            for (const auto& entry : kestro::decodeTranscriptPayload(request.body).entries) {
                posted.back().push_back(entry.role + ":" + entry.content + ":" + entry.type);
            }
        }
        return posted;
    }

    void make() {
        SessionManager::Services services;
        services.callsAvailable = [this] { return callsAvailable; };
        services.hasHeadphones = [this] { return ++deviceChecks, headphones; };
        services.isNetworkReachable = [this] { return ++deviceChecks, network; };
        services.hasMicrophone = [this] { return ++deviceChecks, microphone; };
        services.fetchSessionToken = [this](std::shared_ptr<kestro::UsageManager>) -> asio::awaitable<std::string> {
            ++fetches;
            if (auto gate = fetchGate) {
                try {
                    co_await gate->async_wait(asio::use_awaitable);
                } catch (const boost::system::system_error&) {
                    if (!gateOpened) {
                        fetchCancelled = true;
                        throw;
                    }
                }
            }
            if (fetchError) std::rethrow_exception(fetchError);
            co_return "secret-" + std::to_string(fetches);
        };
        services.makeConversation = [this] {
            made.push_back(std::make_shared<FakeConversation>());
            made.back()->listenError = listenError;
            return made.back();
        };
        services.transcriptManager = transcripts;
        manager = SessionManager::create(io.get_executor(), io.get_executor(), std::move(services), timing);
    }

    template <class Predicate>
    bool runUntil(Predicate done, std::chrono::milliseconds limit = 3s) {
        return support::runUntil(io, done, limit);
    }
    void runFor(std::chrono::milliseconds time) { io.run_for(time); }

    void closeGate() {
        fetchGate = std::make_shared<asio::steady_timer>(io, asio::steady_timer::time_point::max());
        gateOpened = fetchCancelled = false;
    }
    // Only a fetch already waiting at the gate passes it.
    void openGate() {
        gateOpened = true;
        fetchGate->cancel();
    }

    // Starts a call and waits until it is active; the conversation is made by then.
    std::shared_ptr<FakeConversation> startCall() {
        manager->startSession();
        EXPECT_TRUE(runUntil([&] { return manager->isConversationActive.get(); }));
        return made.back();
    }
    // Starts a call and waits until its connection is up and polling.
    std::shared_ptr<FakeConversation> startConnectedCall() {
        auto conversation = startCall();
        conversation->connected = true;
        EXPECT_TRUE(runUntil([&] { return conversation->transcriptionCalls == 1; }));
        return conversation;
    }
    // Starts a call that is refused or fails, and returns the error line then shown. A refusal
    // leaves an earlier line in place until its own is posted.
    std::optional<std::string> failedStart() {
        manager->startSession();
        EXPECT_TRUE(runUntil([&] { return manager->errorMessage.get().has_value(); }));
        runFor(5ms);
        return manager->errorMessage.get();
    }

    bool idle() const {
        return !manager->isConversationActive.get() && !manager->isStartingSession.get() &&
               !manager->isSendingTranscript.get() && !manager->conversation.get();
    }
};

TEST_F(SessionManagerTest, RefusalsComeInOrderWithTheirTextsAndChangeNoFlag) {
    make();
    headphones = network = microphone = false;
    EXPECT_EQ(manager->canStartSession(), SessionManager::StartRefusal::noHeadphones);
    EXPECT_EQ(deviceChecks, 3);  // every check is made even though the first one decides
    headphones = true;
    EXPECT_EQ(manager->canStartSession(), SessionManager::StartRefusal::noNetwork);
    network = true;
    EXPECT_EQ(manager->canStartSession(), SessionManager::StartRefusal::noMicrophone);

    callsAvailable = false;
    deviceChecks = 0;
    manager->startSession();
    EXPECT_EQ(manager->errorMessage.get(), std::nullopt);  // shown from the main executor, later
    runFor(5ms);
    EXPECT_EQ(manager->errorMessage.get(), "No Calls Left");
    EXPECT_EQ(deviceChecks, 0);
    EXPECT_EQ(fetches, 0);
    EXPECT_TRUE(idle());

    callsAvailable = microphone = true;
    headphones = false;
    EXPECT_EQ(failedStart(), "No Headphones");
    headphones = true;
    network = false;
    EXPECT_EQ(failedStart(), "No Internet");
    EXPECT_TRUE(idle());

    // A call in progress refuses before anything else, without touching a flag.
    network = true;
    startConnectedCall();
    callsAvailable = headphones = false;
    int changes = 0;
    auto a = manager->isConversationActive.observe([&](bool) { ++changes; });
    auto b = manager->isStartingSession.observe([&](bool) { ++changes; });
    EXPECT_EQ(failedStart(), "Session already in progress");
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(made.size(), 1u);
}

TEST_F(SessionManagerTest, CallCollectsEachMessageOnceAndPostsTheTranscriptAtTheEnd) {
    timing.pollPeriod = 1h;  // one collection when polling starts, then only the one at the end
    make();
    manager->startSession();
    EXPECT_TRUE(manager->isStartingSession.get());
    ASSERT_TRUE(runUntil([&] { return manager->isConversationActive.get(); }));
    EXPECT_FALSE(manager->isStartingSession.get());
    auto conversation = made.back();
    EXPECT_EQ(conversation->tokens, std::vector<std::string>{"secret-1"});
    EXPECT_EQ(conversation->listenCalls, 1);

    // No polling before the connection is up.
    conversation->items.push_back(userSaid("u1", "hello"));
    runFor(30ms);
    EXPECT_EQ(conversation->transcriptionCalls, 0);
    EXPECT_TRUE(transcripts->sessionEntries.empty());

    conversation->connected = true;
    ASSERT_TRUE(runUntil([&] { return transcripts->sessionEntries.size() == 1; }));
    EXPECT_EQ(conversation->transcriptionCalls, 1);

    // Finished after the last poll: still part of the transcript, and nothing is collected twice.
    conversation->items.push_back(assistantSaid("a1", {Content::text("Hi"), spoken("there")}));
    conversation->items.push_back(userSaid("u2", std::nullopt));
    manager->endSession();
    EXPECT_FALSE(manager->isConversationActive.get());
    EXPECT_TRUE(manager->isSendingTranscript.get());
    EXPECT_EQ(manager->conversation.get(), nullptr);
    EXPECT_EQ(conversation->stopCalls, 1);
    std::weak_ptr<FakeConversation> released = conversation;
    conversation.reset();
    made.clear();
    EXPECT_TRUE(released.expired());

    ASSERT_TRUE(runUntil([&] { return !manager->isSendingTranscript.get(); }));
    EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"user:hello:audio", "assistant:Hi there:audio"}}));
    EXPECT_TRUE(transcripts->sessionEntries.empty());
    EXPECT_TRUE(idle());
    EXPECT_EQ(manager->errorMessage.get(), std::nullopt);
}

TEST_F(SessionManagerTest, AnEndedCallsLimitNeverEndsALaterCall) {
    timing.callLimit = 400ms;
    make();
    // The moments the flag changes, taken as they happen (not when the test looks).
    std::vector<std::pair<bool, std::chrono::steady_clock::time_point>> changes;
    auto watch = manager->isConversationActive.observe(
        [&](bool active) { changes.emplace_back(active, std::chrono::steady_clock::now()); });
    startConnectedCall();
    manager->endSession();
    ASSERT_TRUE(runUntil([&] { return idle(); }));
    runFor(200ms);  // the first call's limit, had it survived, fires 200 ms into the second call
    auto second = startConnectedCall();
    second->items.push_back(userSaid("u1", "hello"));
    ASSERT_TRUE(runUntil([&] { return idle(); }, 5s));
    runFor(150ms);  // room for a second ending
    ASSERT_EQ(changes.size(), 4u);
    // Ended once, by its own limit, which starts when the call becomes active.
    EXPECT_EQ(second->stopCalls, 1);
    EXPECT_GE(changes[3].second - changes[2].second, timing.callLimit);
    EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"user:hello:audio"}}));
    EXPECT_EQ(manager->errorMessage.get(), std::nullopt);
}

TEST_F(SessionManagerTest, AStaleConnectionNeverConfiguresALaterCall) {
    make();
    auto first = startCall();
    runFor(20ms);
    manager->endSession();
    ASSERT_TRUE(runUntil([&] { return idle(); }));

    auto second = startCall();
    first->connected = true;  // the first call's connection opens late
    runFor(50ms);
    EXPECT_EQ(first->transcriptionCalls, 0);
    EXPECT_EQ(second->transcriptionCalls, 0);
    EXPECT_TRUE(manager->isConversationActive.get());

    second->connected = true;
    ASSERT_TRUE(runUntil([&] { return second->transcriptionCalls == 1; }));
    runFor(50ms);
    EXPECT_EQ(second->transcriptionCalls, 1);
    EXPECT_EQ(first->transcriptionCalls, 0);
}

TEST_F(SessionManagerTest, AConnectionThatNeverOpensEndsTheCallWithCannotConnect) {
    make();
    auto conversation = startCall();
    runFor(100ms);
    EXPECT_TRUE(manager->isConversationActive.get());  // still waiting within the bound
    ASSERT_TRUE(runUntil([&] { return !manager->isConversationActive.get(); }));
    EXPECT_EQ(manager->errorMessage.get(), "Cannot Connect");
    ASSERT_TRUE(runUntil([&] { return idle(); }));
    EXPECT_TRUE(uploads().empty());  // nothing was said, nothing is posted
    EXPECT_EQ(conversation->transcriptionCalls, 0);
    EXPECT_EQ(conversation->stopCalls, 1);

    // The error line goes away with the next start.
    manager->startSession();
    EXPECT_EQ(manager->errorMessage.get(), std::nullopt);
}

TEST_F(SessionManagerTest, AStreamEndingEarlyEndsTheCallWithCannotConnect) {
    make();
    startCall()->ended = true;  // closed before the session was confirmed
    ASSERT_TRUE(runUntil([&] { return idle(); }, 250ms));  // well before the 300 ms bound
    EXPECT_EQ(manager->errorMessage.get(), "Cannot Connect");
}

TEST_F(SessionManagerTest, AFailedTranscriptionSwitchKeepsTheCallAndItsAnswers) {
    make();
    auto conversation = startCall();
    conversation->transcriptionError = std::make_exception_ptr(std::runtime_error("send failed"));
    conversation->items.push_back(assistantSaid("a1", {spoken("hi")}));
    conversation->connected = true;
    ASSERT_TRUE(runUntil([&] { return transcripts->sessionEntries.size() == 1; }));
    EXPECT_TRUE(manager->isConversationActive.get());
    EXPECT_EQ(manager->errorMessage.get(), std::nullopt);
}

TEST_F(SessionManagerTest, AFailedCredentialFetchOrMicrophoneDropsTheCall) {
    make();
    fetchError = std::make_exception_ptr(std::runtime_error("Network error: HTTP error: 401"));
    EXPECT_EQ(failedStart(), "Cannot Connect");
    EXPECT_TRUE(idle());
    // It listened while the credential was asked for; what it heard goes with it, unsent.
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(made.back()->tokens.empty());
    std::weak_ptr<FakeConversation> unconnected = made.back();
    made.clear();
    EXPECT_TRUE(unconnected.expired());

    fetchError = nullptr;
    listenError = std::make_exception_ptr(std::runtime_error("The audio engine could not start"));
    EXPECT_EQ(failedStart(), "No Microphone");
    EXPECT_TRUE(idle());
    std::weak_ptr<FakeConversation> dropped = made.back();
    made.back()->connected = true;  // its connection must not configure anything any more
    runFor(50ms);
    EXPECT_EQ(dropped.lock()->transcriptionCalls, 0);
    made.clear();
    EXPECT_TRUE(dropped.expired());
}

// The user speaks as soon as the shortcut is pressed: the microphone opens when the start is
// accepted, while the backend is still asked for the credential, and the connection is opened
// with that conversation once the credential is back.
TEST_F(SessionManagerTest, TheMicrophoneOpensWhenTheStartIsAcceptedNotWhenTheCredentialArrives) {
    make();
    closeGate();
    manager->startSession();
    ASSERT_EQ(made.size(), 1u);
    auto conversation = made.back();
    EXPECT_EQ(conversation->listenCalls, 1);
    runFor(30ms);
    EXPECT_EQ(fetches, 1);
    EXPECT_TRUE(conversation->tokens.empty());
    EXPECT_TRUE(manager->isStartingSession.get());
    EXPECT_FALSE(manager->isConversationActive.get());

    openGate();
    ASSERT_TRUE(runUntil([&] { return manager->isConversationActive.get(); }));
    EXPECT_EQ(conversation->tokens, std::vector<std::string>{"secret-1"});
    EXPECT_TRUE(conversation->listenedBeforeConnecting);
    EXPECT_EQ(conversation->listenCalls, 1);
    EXPECT_EQ(made.size(), 1u) << "one conversation per call";
    EXPECT_EQ(manager->conversation.get(), conversation);

    // A credential the connection cannot use fails the start like a failed fetch.
    manager->endSession();
    ASSERT_TRUE(runUntil([&] { return idle(); }));
    fetchGate = nullptr;
    manager->startSession();
    made.back()->connectError = std::make_exception_ptr(std::runtime_error("Invalid credential"));
    ASSERT_TRUE(runUntil([&] { return manager->errorMessage.get().has_value(); }));
    EXPECT_EQ(manager->errorMessage.get(), "Cannot Connect");
    EXPECT_TRUE(idle());
}

// A backend that never answers: ending the call (shortcut or menu) gives the start up at once. The
// credential request is cancelled, the microphone closed and the conversation let go (with what
// it captured), and the controller is back where it was; the late end of the request changes
// nothing.
TEST_F(SessionManagerTest, EndingAStartThatWaitsForItsCredentialGivesItUpAtOnce) {
    make();
    closeGate();
    std::vector<bool> starting;
    auto watch = manager->isStartingSession.observe([&](bool value) { starting.push_back(value); });
    manager->startSession();
    runFor(30ms);
    ASSERT_TRUE(manager->isStartingSession.get());
    auto conversation = made.back();
    made.clear();

    manager->endSession();
    EXPECT_EQ(starting, (std::vector<bool>{true, false}));
    EXPECT_TRUE(idle());
    EXPECT_EQ(conversation->stopCalls, 1);
    EXPECT_TRUE(conversation->tokens.empty());
    std::weak_ptr<FakeConversation> started = conversation;
    conversation.reset();
    EXPECT_TRUE(started.expired()) << "the given-up call's conversation is still held";
    ASSERT_TRUE(runUntil([&] { return fetchCancelled; })) << "the credential request was not cancelled";
    runFor(30ms);
    EXPECT_TRUE(idle());
    EXPECT_EQ(manager->errorMessage.get(), std::nullopt);
    EXPECT_TRUE(uploads().empty());

    // The next start is a call of its own.
    closeGate();
    manager->startSession();
    auto next = made.back();
    runFor(20ms);  // the fetch waits at the gate
    openGate();
    ASSERT_TRUE(runUntil([&] { return manager->isConversationActive.get(); }));
    EXPECT_EQ(next->tokens, std::vector<std::string>{"secret-2"});
}

TEST_F(SessionManagerTest, DestroyingTheControllerMidCallLetsEverythingGo) {
    make();
    std::weak_ptr<FakeConversation> released = startConnectedCall();
    made.clear();
    manager.reset();
    runFor(50ms);
    EXPECT_TRUE(released.expired());
}

// A clock the test moves by hand: the call's sleeps end when it passes their end, or with
// operation_aborted when their task is cancelled.
class ManualClock {
public:
    explicit ManualClock(asio::io_context& io) : io_(io) {}

    SessionManager::Timing::Sleep sleeper() {
        return [this](asio::any_io_executor, std::chrono::nanoseconds duration) -> asio::awaitable<void> {
            auto waiter = std::make_shared<Waiter>(Waiter{now_ + duration, false, asio::steady_timer(io_)});
            waiter->timer.expires_at(asio::steady_timer::time_point::max());
            waiters_.push_back(waiter);
            requested.push_back(duration);
            try {
                co_await waiter->timer.async_wait(asio::use_awaitable);
            } catch (const boost::system::system_error&) {
                if (!waiter->due) throw;
            }
        };
    }
    void advance(std::chrono::nanoseconds by) {
        now_ += by;
        for (auto& waiter : waiters_) {
            if (!waiter->due && waiter->until <= now_) {
                waiter->due = true;
                waiter->timer.cancel();
            }
        }
    }
    std::vector<std::chrono::nanoseconds> requested;

private:
    struct Waiter {
        std::chrono::nanoseconds until;
        bool due;
        asio::steady_timer timer;
    };
    asio::io_context& io_;
    std::chrono::nanoseconds now_{0};
    std::vector<std::shared_ptr<Waiter>> waiters_;
};

TEST_F(SessionManagerTest, TheCallLimitAsWiredEndsTheCallAfterTenMinutesOfListening) {
    ManualClock clock(io);
    timing = SessionManager::Timing{};  // what the application runs with
    timing.sleep = clock.sleeper();
    make();
    auto conversation = startCall();
    conversation->connected = true;
    clock.advance(1s);
    ASSERT_TRUE(runUntil([&] { return conversation->transcriptionCalls == 1; }));

    clock.advance(598s);
    runFor(20ms);
    EXPECT_TRUE(manager->isConversationActive.get()) << "ended before ten minutes";
    EXPECT_EQ(conversation->stopCalls, 0);
    clock.advance(999ms);
    runFor(20ms);
    EXPECT_TRUE(manager->isConversationActive.get()) << "ended before ten minutes";
    clock.advance(1ms);  // 600 s after listening started
    ASSERT_TRUE(runUntil([&] { return !manager->isConversationActive.get(); }));
    EXPECT_EQ(conversation->stopCalls, 1);
    EXPECT_EQ(std::count(clock.requested.begin(), clock.requested.end(), std::chrono::nanoseconds(600s)), 1);
    EXPECT_EQ(manager->errorMessage.get(), std::nullopt);
}

TEST_F(SessionManagerTest, PostingKeptTranscriptsNeverHoldsTheMenuInProcessing) {
    transcripts = std::make_shared<kestro::TranscriptManager>(backend.network,
                                                              kestro::TranscriptOutbox(backend.outboxFolder()));
    make();
    transcripts->startResending(io.get_executor(), io.get_executor());
    runFor(20ms);  // its first look finds nothing
    kestro::TranscriptOutbox(backend.outboxFolder())
        .save(kestro::encodeTranscriptPayload(kestro::TranscriptPayload{{TranscriptEntry{{}, "user", "old", "audio"}}}));
    // The call's own upload is answered at once; the kept one it wakes, slowly.
    backend.backend.enqueue("/transcript", support::ScriptedReply::json(200, "{}"));
    backend.backend.enqueue("/transcript", support::ScriptedReply::json(200, "{}").after(1500ms));
    auto conversation = startConnectedCall();
    conversation->items.push_back(userSaid("u1", "new"));
    manager->endSession();
    ASSERT_TRUE(runUntil([&] { return !manager->isSendingTranscript.get(); }, 1s));
    EXPECT_EQ(manager->canStartSession(), SessionManager::StartRefusal::none);
    ASSERT_TRUE(runUntil([&] { return uploads().size() == 2; }));
    EXPECT_FALSE(kestro::TranscriptOutbox(backend.outboxFolder()).pending().empty()) << "kept one answered already";
    ASSERT_TRUE(runUntil([&] { return kestro::TranscriptOutbox(backend.outboxFolder()).pending().empty(); }));
    EXPECT_EQ(uploads().size(), 2u);
}

// Ending the application mid-call, as Quit, a signal or the session manager do.
class ExitMidCall : public SessionManagerTest {
protected:
    void SetUp() override {
        SessionManagerTest::SetUp();
        transcripts = std::make_shared<kestro::TranscriptManager>(
            backend.network, kestro::TranscriptOutbox(backend.outboxFolder()));
        make();
    }
    kestro::GracefulExit& exitWith(std::chrono::milliseconds bound) {
        gracefulExit.emplace(kestro::GracefulExit::Parts{
            .main = io.get_executor(),
            .timers = io.get_executor(),
            .sessionManager = manager,
            .transcripts = transcripts,
            .openConnections = [this] { return openConnections; },
            .done = [this] { ++doneCalls; },
            .bound = bound});
        return *gracefulExit;
    }
    std::shared_ptr<FakeConversation> callWithOneAnswer() {
        auto conversation = startConnectedCall();
        conversation->items.push_back(assistantSaid("a1", {spoken("Bye now")}));
        return conversation;
    }
    std::vector<std::string> kept() {
        std::vector<std::string> contents;
        for (auto& file : kestro::TranscriptOutbox(backend.outboxFolder()).pending()) {
            for (auto& entry : kestro::decodeTranscriptPayload(file.body).entries) contents.push_back(entry.content);
        }
        return contents;
    }

    std::size_t openConnections = 0;
    int doneCalls = 0;
    std::optional<kestro::GracefulExit> gracefulExit;
};

TEST_F(ExitMidCall, PostsTheTranscriptAndWaitsForTheConnectionToClose) {
    auto conversation = callWithOneAnswer();
    openConnections = 1;
    auto& ending = exitWith(3s);
    ending.request();
    ending.request();
    ASSERT_TRUE(runUntil([&] { return uploads().size() == 1 && !manager->isSendingTranscript.get(); }));
    EXPECT_EQ(conversation->stopCalls, 1);
    EXPECT_FALSE(manager->isConversationActive.get());
    runFor(50ms);
    EXPECT_EQ(doneCalls, 0) << "ended while the connection was still closing";
    openConnections = 0;
    ASSERT_TRUE(runUntil([&] { return doneCalls > 0; }));
    runFor(20ms);
    EXPECT_EQ(doneCalls, 1);
    EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"assistant:Bye now:audio"}}));
    EXPECT_TRUE(kept().empty());
}

TEST_F(ExitMidCall, AnUploadThatFailsOrOutlastsTheBoundIsKept) {
    struct Case {
        const char* name;
        support::ScriptedReply reply;
    };
    for (auto& c : {Case{"refused", support::ScriptedReply::text(500, "down")},
                    Case{"too slow", support::ScriptedReply::json(200, "{}").after(2s)}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(backend.outboxFolder());
        gracefulExit.reset();
        doneCalls = 0;
        backend.backend.setReply("/transcript", c.reply);
        callWithOneAnswer();
        openConnections = 1;  // a connection that never finishes closing does not hold the exit either
        exitWith(300ms).request();
        ASSERT_TRUE(runUntil([&] { return doneCalls == 1; }, 1500ms));
        EXPECT_EQ(kept(), std::vector<std::string>{"Bye now"});
        openConnections = 0;
        // A slow upload that still gets through takes its kept copy back.
        ASSERT_TRUE(runUntil([&] { return !manager->isSendingTranscript.get(); }, 4s));
        EXPECT_EQ(kept().size(), std::string_view(c.name) == "refused" ? 1u : 0u);
    }
}

TEST_F(ExitMidCall, TermIntAndHupEndTheCallInsteadOfTheProcess) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        gracefulExit.reset();
        doneCalls = 0;
        callWithOneAnswer();
        exitWith(3s).watchSignals(io.get_executor());
        ::raise(signal);
        ASSERT_TRUE(runUntil([&] { return doneCalls == 1; }));
        ::raise(signal);  // a second one while ending (or after) changes nothing
        runFor(30ms);
        EXPECT_EQ(doneCalls, 1);
        EXPECT_TRUE(idle());
    }
    EXPECT_EQ(uploads().size(), 3u);
}

// A session ending while the app starts: the signal comes before the watch, and the call still
// ends as End Call ends it once the watch begins (the process is not killed meanwhile).
TEST_F(ExitMidCall, ASignalBeforeTheWatchBeginsIsHandledOnceItDoes) {
    kestro::GracefulExit::holdSignalsUntilWatched();
    callWithOneAnswer();
    auto& ending = exitWith(3s);
    ::raise(SIGTERM);
    runFor(30ms);
    EXPECT_EQ(doneCalls, 0);
    EXPECT_TRUE(manager->isConversationActive.get());
    ending.watchSignals(io.get_executor());
    ASSERT_TRUE(runUntil([&] { return doneCalls == 1; }));
    EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{{"assistant:Bye now:audio"}}));
    ::raise(SIGTERM);  // from now on the watch's own
    runFor(30ms);
    EXPECT_EQ(doneCalls, 1);
}

TEST_F(ExitMidCall, WithoutACallTheApplicationEndsAtOnce) {
    exitWith(3s).request();
    ASSERT_TRUE(runUntil([&] { return doneCalls == 1; }, 200ms));
    EXPECT_TRUE(uploads().empty());
}

TEST(SessionManagerErrorText, CaptureFailuresShowNoMicrophoneEverythingElseCannotConnect) {
    auto text = [](auto error) { return SessionManager::errorText(std::make_exception_ptr(error)); };
    EXPECT_EQ(text(std::runtime_error("Microphone permission denied")), "No Microphone");
    EXPECT_EQ(text(std::runtime_error("AUDIO device busy")), "No Microphone");
    EXPECT_EQ(text(std::runtime_error("Network error: Invalid token response")), "Cannot Connect");
    EXPECT_EQ(text(42), "Cannot Connect");
    // The audio layer's own failures, whatever their wording.
    EXPECT_EQ(text(platform::NoInputDeviceError()), "No Microphone");
    EXPECT_EQ(text(platform::AudioEngineStartError("connection refused")), "No Microphone");
    EXPECT_EQ(text(platform::ConverterCreationError()), "No Microphone");
    EXPECT_EQ(text(platform::AudioError("device busy")), "No Microphone");
}

}  // namespace
