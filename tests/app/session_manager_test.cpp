#include "app/session_manager_fixture.hpp"

namespace {

using namespace session_manager_test;

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
