#include "app/graceful_exit.hpp"
#include "app/session_manager_fixture.hpp"
#include "app/transcript_outbox.hpp"

#include <signal.h>

namespace {

using namespace session_manager_test;

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

}  // namespace
