#include <gtest/gtest.h>

#include "analytics/session/plover_session_manager.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics_fixtures.hpp"

namespace {

using namespace std::chrono_literals;
using plover::PloverSessionManager;
using plover::SessionIDChangeReason;

struct SessionFixture : ::testing::Test {
    std::shared_ptr<plover::BaseApplicationLifecyclePublisher> publisher = plover::BaseApplicationLifecyclePublisher::create();
    plover::Date now = plover::Date(1709622489123ms);
    std::shared_ptr<PloverSessionManager> sessions = PloverSessionManager::create(publisher, [this] { return now; });

    void foreground() { publisher->appDidBecomeActive(); }
    void background() { publisher->appDidEnterBackground(); }
};

TEST_F(SessionFixture, ASessionIsKeptAtExactlyThirtyMinutesIdleAndReplacedJustAfter) {
    EXPECT_FALSE(sessions->getSessionId()) << "no id while in the background";
    foreground();
    auto id = sessions->getSessionId();
    ASSERT_TRUE(id);
    EXPECT_EQ(plover::Uuid::parse(*id)->bytes[6] >> 4, 7);

    EXPECT_EQ(sessions->getSessionId(now + 1800s), id);
    EXPECT_EQ(sessions->getSessionId(now - 10s), id) << "an earlier moment never times out";
    EXPECT_EQ(sessions->getSessionId(now + 1801s, true), id) << "reading only changes nothing";
    auto replaced = sessions->getSessionId(now + 1800001ms);
    ASSERT_TRUE(replaced);
    EXPECT_NE(replaced, id);

    // In the background a timed-out session is cleared, and none is made.
    now += 1800001ms;
    background();
    analytics_test::LogCapture log;
    EXPECT_FALSE(sessions->getSessionId(now + 1800001ms));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Plover] Session id cleared - reason: (sessionTimeout)"});
    EXPECT_FALSE(sessions->getSessionId(now + 1800002ms));
}

TEST_F(SessionFixture, ActivityKeepsASessionButNotPastTwentyFourHours) {
    foreground();
    sessions->startSession();
    auto id = sessions->getSessionId();
    for (int step = 1; step <= 72; ++step) {
        now += 20min;
        background();
        foreground();  // each change touches the session
    }
    EXPECT_EQ(sessions->getSessionId(now), id) << "exactly 24 h old";
    auto rotated = sessions->getSessionId(now + 1ms);
    EXPECT_NE(rotated, id);

    // Coming back after a long absence rotates before any event asks.
    background();
    now += 2h;
    foreground();
    auto afterAbsence = sessions->getSessionId(now, true);
    EXPECT_NE(afterAbsence, rotated);
    EXPECT_EQ(sessions->getSessionId(now + 1s), afterAbsence);

    sessions->startSession();
    for (int step = 1; step <= 72; ++step) {
        now += 20min;
        foreground();
        background();
    }
    EXPECT_TRUE(sessions->getSessionId(now));
    analytics_test::LogCapture log;
    EXPECT_FALSE(sessions->getSessionId(now + 1ms)) << "past the maximum length in the background";
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Plover] Session id cleared - reason: (sessionPastMaximumLength)"});
}

TEST_F(SessionFixture, StartEndResetAndCustomIdsWithTheirReasons) {
    analytics_test::LogCapture log;
    bool completed = false;
    sessions->startSession([&] { completed = true; });
    EXPECT_TRUE(completed);
    auto started = sessions->getSessionId(std::nullopt, true);
    ASSERT_TRUE(started);
    sessions->resetSession();
    EXPECT_NE(sessions->getSessionId(std::nullopt, true), started);
    sessions->endSession();
    EXPECT_FALSE(sessions->getSessionId(std::nullopt, true));
    sessions->touchSession();
    EXPECT_FALSE(sessions->getSessionId(std::nullopt, true));
    sessions->setSessionId("");
    EXPECT_EQ(sessions->getSessionId(std::nullopt, true), "");
    foreground();
    auto fresh = sessions->getSessionId();
    EXPECT_TRUE(fresh && !fresh->empty());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "[Plover] New session id created " + *started + " (sessionStart)");
    EXPECT_NE(lines[1].find("(sessionReset)"), std::string::npos);
    EXPECT_EQ(lines[2], "[Plover] Session id cleared - reason: (sessionEnd)");
    EXPECT_EQ(lines[3], "[Plover] New session id created  (customSessionId)");
    EXPECT_NE(lines[4].find("(sessionIdEmpty)"), std::string::npos);

    // An embedding library manages the id itself.
    plover::setPloverSdkName("plover-react-native");
    completed = false;
    sessions->startSession([&] { completed = true; });
    EXPECT_FALSE(completed);
    sessions->endSession();
    EXPECT_EQ(sessions->getSessionId(now + 48h), fresh);
    sessions->setSessionId("theirs");
    EXPECT_EQ(sessions->getSessionId(), "theirs");
    plover::setPloverSdkName(std::string(plover::ploveriOSSdkName));

    EXPECT_EQ(plover::rawValue(SessionIDChangeReason::sessionPastMaximumLength), "Session past maximum length");
    EXPECT_EQ(plover::sessionIDChangeReasonFromRawValue("Custom session set"), SessionIDChangeReason::customSessionId);
    EXPECT_FALSE(plover::sessionIDChangeReasonFromRawValue("customSessionId"));
}

}  // namespace
