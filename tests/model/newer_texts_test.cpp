// The service adds voices, formats, statuses and other words of its closed sets over time, and
// event types and kinds of items. Words this client does not know travel through unchanged; only
// an event of an unknown type or carrying an unknown kind of item is skipped, reported by a short
// line.

#include <filesystem>
#include <fstream>
#include <iterator>

#include "coding_checks.hpp"

namespace realtime::model_test {
namespace {

using EventKind = ServerEvent::Kind;

template <class T>
Json reencoded(const Json& json) {
    return Json::parse(encodeJson(decodeJson<T>(json.dump())));
}

// A session in which every closed set holds a word this client does not know.
const Json newerSession = Json::parse(R"({"id":"sess_1","model":"gpt-realtime","modalities":["audio","video"],
    "instructions":"","voice":"marin","input_audio_format":"opus","output_audio_format":"pcm24",
    "input_audio_transcription":{"model":"gpt-5-transcribe"},"input_audio_noise_reduction":{"type":"studio"},
    "turn_detection":{"type":"hybrid_vad","create_response":true,"eagerness":"none"},
    "tools":[{"type":"function","name":"f","description":"d","parameters":{"type":"tuple",
      "properties":{"p":{"type":"date","items":{"type":"decimal"}}}}}],
    "tool_choice":"any","temperature":0.8})");

TEST(NewerClosedSetTexts, EveryRecordKeepsTheTextsItDoesNotKnowAndWritesThemBackUnchanged) {
    EXPECT_EQ(reencoded<Session>(newerSession), newerSession);

    const auto config = Json::parse(R"({"modalities":["audio"],"instructions":"","voice":"cedar",
        "output_audio_format":"opus","tools":[],"tool_choice":"auto","temperature":0.8,"conversation":"fork"})");
    EXPECT_EQ(reencoded<Response::Config>(config), config);

    const auto message = Json::parse(R"({"id":"m","type":"message","status":"paused","role":"developer",
        "content":[{"type":"input_text","text":"q"}]})");
    EXPECT_EQ(reencoded<Item>(message), message);
    const auto call = Json::parse(R"({"id":"c","type":"function_call","status":"queued","call_id":"k",
        "name":"n","arguments":"{}"})");
    EXPECT_EQ(reencoded<Item>(call), call);

    const auto response = Json::parse(R"({"id":"r","status":"queued","output":[]})");
    EXPECT_EQ(reencoded<Response>(response), response);
}

TEST(NewerClosedSetTexts, AnUnknownTextIsNoCaseEvenWhenItDiffersOnlyInLetterCase) {
    auto session = decodeJson<Session>(newerSession.dump());
    EXPECT_FALSE(session.voice.known());
    EXPECT_EQ(session.voice.rawText(), "marin");
    EXPECT_EQ(session.modalities, (std::vector{OpenEnum<Session::Modality>(Session::Modality::audio),
                                               OpenEnum<Session::Modality>::fromRawText("video")}));
    ASSERT_TRUE(session.turnDetection && session.turnDetection->eagerness);
    EXPECT_EQ(session.turnDetection->eagerness->rawText(), "none");  // "none" is a detection type, no eagerness
    EXPECT_EQ(session.toolChoice.kind(), ToolChoice::Kind::unknown);
    EXPECT_EQ(session.toolChoice.unknownText(), "any");

    auto capital = newerSession;
    capital["voice"] = "Alloy";
    session = decodeJson<Session>(capital.dump());
    EXPECT_NE(session.voice, Session::Voice::alloy);
    EXPECT_EQ(session.voice.rawText(), "Alloy");
    EXPECT_EQ(session.voice, OpenEnum<Session::Voice>::fromRawText("Alloy"));
    EXPECT_EQ(OpenEnum<Session::Voice>::fromRawText("alloy"), Session::Voice::alloy);
    // Making a case from a text still finds none for a text outside the set.
    EXPECT_FALSE(fromRawValue<Session::Voice>("marin"));
}

std::string readFixture(const std::string& type) {
    std::ifstream file(std::filesystem::path(KESTRO_TEST_DATA_DIR) / "model" / "server_events" / (type + ".json"));
    return {std::istreambuf_iterator<char>(file), {}};
}

// The call counts as connected once "session.created" arrives, and switches transcription on by
// sending the announced session back: a newer voice must neither lose the event nor change.
TEST(NewerClosedSetTexts, ASessionCreatedWithANewVoiceIsReceivedAndItsSessionUpdateSendsTheVoiceBack) {
    auto created = Json::parse(readFixture("session.created"));
    created["session"]["voice"] = "marin";
    created["rate_limit_tier"] = {{"tier", 4}};  // a member the service added
    const auto received = decodeReceivedServerEvent(created.dump());
    ASSERT_TRUE(received.event) << received.skipped;
    EXPECT_EQ(received.skipped, "");
    auto session = received.event->get<EventKind::sessionCreated>().session;
    session.id.reset();
    session.inputAudioTranscription = Session::InputAudioTranscription{};
    const auto update = Json::parse(encode(ClientEvent::updateSession("u1", session)));
    EXPECT_EQ(update["session"]["voice"], "marin");
    EXPECT_EQ(update["session"]["modalities"], created["session"]["modalities"]);
}

TEST(UnknownEventTypes, AreReportedByOneShortLineWhateverTheirSize) {
    // Short texts are reported whole.
    EXPECT_EQ(decodeReceivedServerEvent(R"({"type":"brand.new.event"})").skipped, "Unknown event type: brand.new.event");

    // A huge type: a prefix of it, cut before a character, never inside one.
    const std::string prefix(kMaxReportedTextBytes - 1, 'x');
    const std::string huge = prefix + "\xC3\xA9" + std::string(15 * 1024 * 1024, 'y');
    auto received = decodeReceivedServerEvent(R"({"type":")" + huge + R"("})");
    EXPECT_FALSE(received.event);
    EXPECT_EQ(received.skipped, "Unknown event type: " + prefix + "...");
    try {
        decodeServerEvent(R"({"type":")" + huge + R"("})");
        ADD_FAILURE() << "decoded";
    } catch (const UnknownEventTypeError& error) {
        EXPECT_EQ(error.type(), prefix + "...");
        EXPECT_EQ(error.description, "Unknown event type: " + prefix + "...");
    }

    // A huge kind of item likewise, and a text with line breaks stays on one line.
    received = decodeReceivedServerEvent(R"({"type":"conversation.item.created","event_id":"e","item":{"id":"i","type":")" +
                                         std::string(1024 * 1024, 'z') + R"("}})");
    EXPECT_FALSE(received.event);
    EXPECT_EQ(received.skipped, "Unknown item type: " + std::string(kMaxReportedTextBytes, 'z') + "...");
    EXPECT_EQ(decodeReceivedServerEvent(R"({"type":"two\nlines\r"})").skipped, "Unknown event type: two?lines?");
}

}  // namespace
}  // namespace realtime::model_test
