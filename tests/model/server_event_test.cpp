#include <filesystem>
#include <fstream>
#include <sstream>

#include "coding_checks.hpp"

namespace realtime::model_test {
namespace {

using EventKind = ServerEvent::Kind;

std::string readFixture(std::string_view type) {
    std::ifstream file(std::filesystem::path(KESTRO_TEST_DATA_DIR) / "model" / "server_events" /
                       (std::string(type) + ".json"));
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

DecodingError decodeFailure(const std::string& json) { return failureOf<ServerEvent>(json); }

TEST(ServerEventDecoding, EveryRecordedEventDecodesToItsOwnCase) {
    for (const auto kind : allCases<EventKind>()) {
        const auto type = rawValue(kind);
        SCOPED_TRACE(std::string(type));
        const auto text = readFixture(type);
        ASSERT_FALSE(text.empty());
        const auto event = decodeServerEvent(text);
        EXPECT_EQ(event.kind(), kind);
        const auto number = static_cast<int>(kind) + 1;
        EXPECT_EQ(event.id(), (number < 10 ? "event_00" : "event_0") + std::to_string(number));
    }
}

TEST(ServerEventDecoding, RecordedPayloadsCarryTheirValues) {
    const auto session = decodeServerEvent(readFixture("session.created")).get<EventKind::sessionCreated>().session;
    EXPECT_EQ(session.id, "sess_C9G5QPteg4UIbotdKLoYQ");
    EXPECT_EQ(session.modalities, (std::vector<OpenEnum<Session::Modality>>{Session::Modality::audio, Session::Modality::text}));
    EXPECT_FALSE(session.inputAudioTranscription);
    EXPECT_FALSE(session.maxOutputTokens);  // "max_response_output_tokens" is not this field's key
    ASSERT_TRUE(session.turnDetection);
    EXPECT_EQ(session.turnDetection->prefixPaddingMs, 300);
    EXPECT_EQ(session.turnDetection->interruptResponse, true);

    const auto response = decodeServerEvent(readFixture("response.done")).get<EventKind::responseDone>().response;
    EXPECT_EQ(response.status, Response::Status::completed);
    ASSERT_TRUE(response.usage);
    EXPECT_EQ(response.usage->inputTokenDetails->cachedTokensDetails->textTokens, 64);
    ASSERT_EQ(response.output.size(), 1u);
    const auto& message = std::get<Item::Message>(response.output[0].value);
    EXPECT_EQ(message.content[0].text(), "Hello there! How can I help?");
    EXPECT_TRUE(message.content[0].audio()->audio.empty());

    Bytes expected;
    for (int b = 0; b < 250; b += 7) expected.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(decodeServerEvent(readFixture("response.audio.delta")).get<EventKind::responseAudioDelta>().delta,
              expected);

    const auto limits = decodeServerEvent(readFixture("rate_limits.updated")).get<EventKind::rateLimitsUpdated>();
    ASSERT_EQ(limits.rateLimits.size(), 2u);
    EXPECT_EQ(limits.rateLimits[0].resetSeconds, 60.0);  // a whole number reads as a real
    EXPECT_EQ(limits.rateLimits[1].resetSeconds, 0.3);
}

TEST(ServerEventDecoding, TypeMustMatchExactly) {
    for (const std::string type : {"Response.audio.delta", "RESPONSE.DONE", "response.done ", " error", "error\n"}) {
        SCOPED_TRACE(type);
        try {
            decodeServerEvent(Json{{"type", type}, {"event_id", "e"}}.dump());
            ADD_FAILURE() << "decoded";
        } catch (const UnknownEventTypeError& error) {
            EXPECT_EQ(error.kind, Kind::dataCorrupted);
            EXPECT_EQ(error.codingPath, CodingPath{"type"});
            EXPECT_EQ(error.description, "Unknown event type: " + type);
            EXPECT_EQ(std::string(error.what()), "Unknown event type: " + type);
            EXPECT_EQ(error.type(), type);
        }
    }
}

TEST(ServerEventDecoding, FailuresNameTheFirstBadFieldInDeclarationOrder) {
    const auto cleared = decodeServerEvent(R"({"type":"input_audio_buffer.cleared","event_id":"e9"})");
    EXPECT_EQ(cleared.kind(), EventKind::inputAudioBufferCleared);
    EXPECT_EQ(cleared.id(), "e9");
    const std::string textDelta = R"({"type":"response.text.delta","event_id":"e","response_id":"r","item_id":"i",)";
    expectFailures({
        {decodeFailure("not json"), Kind::dataCorrupted, {}},
        {decodeFailure("[1,2]"), Kind::typeMismatch, {}},
        {decodeFailure(R"({"event_id":"e"})"), Kind::keyNotFound, {"type"}},
        // Not an unknown event type, which a receiver would skip.
        {decodeFailure(R"({"type":7,"event_id":"e"})"), Kind::typeMismatch, {"type"}},
        {decodeFailure(R"({"type":"input_audio_buffer.committed","event_id":"e9"})"), Kind::keyNotFound, {"item_id"}},
        // eventId comes first in every record.
        {decodeFailure(R"({"type":"response.text.delta"})"), Kind::keyNotFound, {"event_id"}},
        {decodeFailure(textDelta + R"("output_index":null})"), Kind::valueNotFound, {"output_index"}},
        {decodeFailure(textDelta + R"("output_index":"0"})"), Kind::typeMismatch, {"output_index"}},
    });

    // The audio delta reads its keys in an order of its own.
    std::vector<ExpectedFailure> audioDelta;
    Json delta = {{"type", "response.audio.delta"}};
    for (const auto& [key, value] : std::vector<std::pair<std::string, Json>>{
             {"item_id", "i"}, {"event_id", "e"}, {"output_index", 0}, {"response_id", "r"}, {"content_index", 0},
             {"delta", "AAE="}}) {
        audioDelta.push_back({decodeFailure(delta.dump()), Kind::keyNotFound, {key}});
        delta[key] = value;
    }
    expectFailures(audioDelta);
    EXPECT_EQ(decodeServerEvent(delta.dump()).kind(), EventKind::responseAudioDelta);
}

TEST(ServerEventDecoding, IntegerFieldsTakeOnlyIntegralNumbersThatFit) {
    auto speech = [](const std::string& number) {
        return R"({"type":"input_audio_buffer.speech_started","event_id":"e","item_id":"i","audio_start_ms":)" +
               number + "}";
    };
    for (const auto& [text, value] : std::vector<std::pair<std::string, std::int64_t>>{
             {"1540", 1540}, {"-3", -3}, {"2.0", 2}, {"9223372036854775807", INT64_MAX},
             {"-9223372036854775808", INT64_MIN}}) {
        EXPECT_EQ(decodeServerEvent(speech(text)).get<EventKind::inputAudioBufferSpeechStarted>().audioStartMs, value)
            << text;
    }
    for (const std::string bad : {"1.5", "9223372036854775808", "18446744073709551616", "1e19", "-1e19"}) {
        SCOPED_TRACE(bad);
        auto error = decodeFailure(speech(bad));
        EXPECT_EQ(error.kind, Kind::dataCorrupted);
        EXPECT_EQ(error.codingPath, CodingPath{"audio_start_ms"});
    }
}

TEST(ServerEventDecoding, RealFieldsRejectNumbersThatAreNotFinite) {
    // A number beyond the range of a double never becomes infinity: the text is refused whole.
    auto error = decodeFailure(
        R"({"type":"rate_limits.updated","event_id":"e","rate_limits":[)"
        R"({"name":"requests","limit":1,"remaining":1,"reset_seconds":1e400}]})");
    EXPECT_EQ(error.kind, Kind::dataCorrupted);
    EXPECT_TRUE(error.codingPath.empty());
    EXPECT_NE(error.description.find("1e400"), std::string::npos) << error.description;
}

TEST(ServerEventDecoding, AudioDeltaRejectsTextThatIsNotStrictBase64) {
    for (const std::string delta : {"AAEC\\nAAEC", "AAEC AAEC", "AAE", "AAEC=", "AA=C", "AAE-", "AAE_", "A===", "====",
                                    "AAECAAE"}) {
        SCOPED_TRACE(delta);
        auto error = decodeFailure(
            R"({"type":"response.audio.delta","event_id":"e","response_id":"r","item_id":"i","output_index":0,)"
            R"("content_index":0,"delta":")" +
            delta + R"("})");
        EXPECT_EQ(error.kind, Kind::dataCorrupted);
        EXPECT_EQ(error.codingPath, CodingPath{"delta"});
        EXPECT_EQ(error.description, "Invalid base64-encoded audio data.");
    }
}

TEST(ServerEventDecoding, NestedRecordFailuresCarryTheirPath) {
    const auto audio = decodeFailure(
        R"({"type":"response.done","event_id":"e","response":{"id":"r","status":"completed","output":[)"
        R"({"id":"i","type":"message","status":"completed","role":"assistant","content":[)"
        R"({"type":"text","text":"hi"},{"type":"audio","audio":"!!!!"}]}]}})");
    EXPECT_EQ(describePath(audio.codingPath), "response.output[0].content[1].audio");
    EXPECT_EQ(std::string(audio.what()), "Invalid base64-encoded audio data.");
    expectFailures({
        {decodeFailure(R"({"type":"conversation.item.created","event_id":"e","item":{"id":"i","type":"message",)"
                       R"("status":"completed","role":7,"content":[]}})"),
         Kind::typeMismatch, {"item", "role"}},
        {decodeFailure(R"({"type":"response.output_item.added","event_id":"e","response_id":"r","output_index":0,)"
                       R"("item":{"id":"i","type":"reasoning"}})"),
         Kind::dataCorrupted, {"item", "type"}, "Unknown item type: reasoning"},
        {decodeFailure(R"({"type":"response.content_part.added","event_id":"e","response_id":"r","item_id":"i",)"
                       R"("output_index":0,"content_index":0,"part":{"type":"input_text","text":"x"}})"),
         Kind::dataCorrupted, {"part", "type"}, "Unknown content type: input_text"},
        {decodeFailure(R"({"type":"response.done","event_id":"e",)"
                       R"("response":{"id":"r","status":null,"output":[]}})"),
         Kind::valueNotFound, {"response", "status"}},
        // A message's status and content are required.
        {decodeFailure(R"({"type":"conversation.item.created","event_id":"e","item":{"id":"i","type":"message",)"
                       R"("role":"assistant","content":[]}})"),
         Kind::keyNotFound, {"item", "status"}},
        {decodeFailure(R"({"type":"conversation.item.created","event_id":"e","item":{"id":"i","type":"message",)"
                       R"("status":"completed","role":"assistant"}})"),
         Kind::keyNotFound, {"item", "content"}},
        {audio, Kind::dataCorrupted, {"response", "output", std::size_t{0}, "content", std::size_t{1}, "audio"},
         "Invalid base64-encoded audio data."},
    });
}

TEST(ServerEventDecoding, AFailureOnlyBecauseOfAnUnknownTextIsMarkedWithThatText) {
    const std::string message = R"({"id":"i","type":"message","role":"assistant","content":[)";
    auto itemCreated = [](const std::string& item) {
        return R"({"type":"conversation.item.created","event_id":"e","item":)" + item + "}";
    };
    auto sessionWith = [](const std::string& key, const Json& value) {
        auto event = Json::parse(readFixture("session.created"));
        event["session"][key] = value;
        return event.dump();
    };
    // Unknown kinds of items and content fail the event, marked with the kind.
    for (const auto& [json, text] : std::vector<std::pair<std::string, std::string>>{
             {itemCreated(R"({"id":"i","type":"mcp_call","server_label":"x"})"), "mcp_call"},
             {itemCreated(message + R"({"type":"image","url":"u"}],"status":"completed"})"), "image"}}) {
        SCOPED_TRACE(json);
        try {
            decodeServerEvent(json);
            ADD_FAILURE() << "decoded";
        } catch (const UnknownValueError& error) {
            EXPECT_EQ(error.text(), text);
            EXPECT_EQ(error.kind, Kind::dataCorrupted);
        }
    }
    // Unknown words of closed sets (a status, a voice, a tool choice) do not fail it at all.
    for (const auto& json : {itemCreated(message + R"(],"status":"paused"})"), sessionWith("voice", "marin"),
                             sessionWith("tool_choice", "any"),
                             std::string(R"({"type":"response.done","event_id":"e","response":)"
                                         R"({"id":"r","status":"queued","output":[]}})")}) {
        SCOPED_TRACE(json);
        EXPECT_NO_THROW(decodeServerEvent(json));
    }
    // A wrong kind or a missing key is no unknown text.
    for (const auto& json : {sessionWith("voice", 7), sessionWith("voice", nullptr),
                             itemCreated(R"({"id":"i","type":7})"), itemCreated(message + R"(]})")}) {
        SCOPED_TRACE(json);
        try {
            decodeServerEvent(json);
            ADD_FAILURE() << "decoded";
        } catch (const UnknownValueError& error) {
            ADD_FAILURE() << "marked as unknown text: " << error.text();
        } catch (const DecodingError&) {
        }
    }
}

TEST(ServerEventDecoding, TheServicesPublishedSessionWithoutCreateResponseOrUsageDetailsDecodes) {
    auto created = Json::parse(readFixture("session.created"));
    created["session"]["turn_detection"].erase("create_response");
    const auto session = decodeServerEvent(created.dump()).get<EventKind::sessionCreated>().session;
    ASSERT_TRUE(session.turnDetection);
    EXPECT_TRUE(session.turnDetection->createResponse);

    auto done = Json::parse(readFixture("response.done"));
    auto& usage = done["response"]["usage"];
    usage["input_token_details"].erase("cached_tokens_details");
    usage.erase("output_token_details");
    auto decoded = decodeServerEvent(done.dump()).get<EventKind::responseDone>().response.usage;
    ASSERT_TRUE(decoded && decoded->inputTokenDetails);
    EXPECT_FALSE(decoded->inputTokenDetails->cachedTokensDetails);
    EXPECT_FALSE(decoded->outputTokenDetails);
    usage.erase("input_token_details");
    decoded = decodeServerEvent(done.dump()).get<EventKind::responseDone>().response.usage;
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->inputTokenDetails);
    EXPECT_EQ(decoded->totalTokens, usage["total_tokens"].get<std::int64_t>());
}

}  // namespace
}  // namespace realtime::model_test
