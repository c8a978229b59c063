// A conversation whose audio engine lost its sound server for good: the failure is published on
// the main executor for the call to end, and an engine that outlives its conversation tells nobody.

#include "conversation_fixture.hpp"

#include "platform/audio/audio_errors.hpp"

namespace conversation_test {
namespace {

TEST_F(ConversationTest, ASoundServerThatIsGoneForGoodIsPublishedAsTheAudioError) {
    onMain([&] { conversation->startListening(); });
    ASSERT_TRUE(engine->waitForTap());
    EXPECT_FALSE(onMain([&] { return bool(conversation->audioError().get()); }));

    engine->loseSoundServer("the sound server did not come back within 10.0 s");
    ASSERT_TRUE(support::eventually([&] { return onMain([&] { return bool(conversation->audioError().get()); }); }));
    auto failure = onMain([&] { return conversation->audioError().get(); });
    try {
        std::rethrow_exception(failure);
    } catch (const platform::SoundServerLostError& error) {
        EXPECT_NE(std::string(error.what()).find("did not come back within 10.0 s"), std::string::npos) << error.what();
    } catch (...) {
        ADD_FAILURE() << "not a SoundServerLostError";
    }
    EXPECT_FALSE(engine->isRunning());
    // The connection is untouched: only the call decides what to do about its sound.
    EXPECT_EQ(onMain([&] { return conversation->connectionError().get(); }), nullptr);
}

TEST_F(ConversationTest, AnEngineFailingAfterItsConversationWentTellsNobody) {
    onMain([&] { conversation->startListening(); });
    ASSERT_TRUE(engine->waitForTap());
    onMain([&] { conversation.reset(); });
    engine->loseSoundServer("gone");
    // Nothing is left to tell; the posted report finds no conversation and does nothing.
    EXPECT_FALSE(support::eventually([&] { return onMain([&] { return conversation != nullptr; }); }, 200ms));
}

}  // namespace
}  // namespace conversation_test
