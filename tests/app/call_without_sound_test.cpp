// A call whose sound server went away and did not come back ends as a failed call: what was said
// is kept and posted, and the menu says the microphone is gone.

#include "session_manager_fixture.hpp"

namespace session_manager_test {
namespace {

std::exception_ptr soundServerGone() {
    return std::make_exception_ptr(platform::SoundServerLostError("the sound server did not come back within 10.0 s"));
}

TEST_F(SessionManagerTest, ACallWhoseSoundIsGoneEndsAndPostsWhatWasSaid) {
    make();
    auto conversation = startConnectedCall();
    conversation->items.push_back(userSaid("u1", "Can you hear me?"));
    conversation->items.push_back(assistantSaid("a1", {spoken("Yes.")}));
    runFor(30ms);
    // Said after the last poll: collected by the end of the call all the same.
    conversation->items.push_back(userSaid("u2", "Hello?"));
    conversation->lostSound = soundServerGone();

    ASSERT_TRUE(runUntil([&] { return !manager->isConversationActive.get(); }));
    EXPECT_EQ(manager->errorMessage.get(), "No Microphone");
    EXPECT_EQ(conversation->stopCalls, 1);
    ASSERT_TRUE(runUntil([&] { return idle(); }));
    EXPECT_EQ(uploads(), (std::vector<std::vector<std::string>>{
                             {"user:Can you hear me?:audio", "assistant:Yes.:audio", "user:Hello?:audio"}}));
}

TEST_F(SessionManagerTest, SoundGoneBeforeTheConnectionOpensEndsTheCallAtOnce) {
    make();
    auto conversation = startCall();
    conversation->lostSound = soundServerGone();
    // Well before the connection's own 300 ms bound, and it is not taken for a connection failure.
    ASSERT_TRUE(runUntil([&] { return idle(); }, 250ms));
    EXPECT_EQ(manager->errorMessage.get(), "No Microphone");
    EXPECT_EQ(conversation->transcriptionCalls, 0);
    EXPECT_TRUE(uploads().empty());
}

}  // namespace
}  // namespace session_manager_test
