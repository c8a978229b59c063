#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "realtime/model/codec.hpp"

namespace realtime {
namespace {

using Kind = ServerEvent::Kind;

std::string readFixture(std::string_view type) {
    const auto path = std::filesystem::path(KESTRO_TEST_DATA_DIR) / "model" / "server_events" /
                      (std::string(type) + ".json");
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

DecodingError decodeFailure(std::string_view json) {
    try {
        decodeServerEvent(json);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded without error: " << json;
    return DecodingError(DecodingError::Kind::dataCorrupted, {}, "");
}

TEST(ServerEventDecoding, EveryRecordedEventDecodesToItsOwnCase) {
    for (const auto kind : allCases<Kind>()) {
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
    const auto session = decodeServerEvent(readFixture("session.created")).get<Kind::sessionCreated>().session;
    EXPECT_EQ(session.id, "sess_C9G5QPteg4UIbotdKLoYQ");
    EXPECT_EQ(session.modalities, (std::vector{Session::Modality::audio, Session::Modality::text}));
    EXPECT_FALSE(session.inputAudioTranscription);
    EXPECT_FALSE(session.maxOutputTokens);  // "max_response_output_tokens" is not this field's key
    ASSERT_TRUE(session.turnDetection);
    EXPECT_EQ(session.turnDetection->prefixPaddingMs, 300);
    EXPECT_EQ(session.turnDetection->interruptResponse, true);

    const auto updated = decodeServerEvent(readFixture("session.updated"));
    ASSERT_EQ(updated.kind(), Kind::sessionUpdated);
    const auto& tools = updated.get<Kind::sessionUpdated>().session.tools;
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].parameters.properties->at("location").description, "City");
    EXPECT_EQ(updated.get<Kind::sessionUpdated>().session.toolChoice, ToolChoice::function("get_weather"));

    const auto done = decodeServerEvent(readFixture("response.done"));
    const auto& response = done.get<Kind::responseDone>().response;
    EXPECT_EQ(response.status, Response::Status::completed);
    ASSERT_TRUE(response.usage);
    EXPECT_EQ(response.usage->inputTokenDetails.cachedTokensDetails.textTokens, 64);
    ASSERT_EQ(response.output.size(), 1u);
    const auto& message = std::get<Item::Message>(response.output[0].value);
    EXPECT_EQ(message.content[0].text(), "Hello there! How can I help?");
    EXPECT_TRUE(message.content[0].audio()->audio.empty());

    const auto created = decodeServerEvent(readFixture("response.created"));
    EXPECT_EQ(created.kind(), Kind::responseCreated);
    EXPECT_FALSE(created.get<Kind::responseCreated>().response.usage);

    const auto delta = decodeServerEvent(readFixture("response.audio.delta"));
    Bytes expected;
    for (int b = 0; b < 250; b += 7) expected.push_back(static_cast<std::uint8_t>(b));
    EXPECT_EQ(delta.get<Kind::responseAudioDelta>().delta, expected);

    const auto limits = decodeServerEvent(readFixture("rate_limits.updated")).get<Kind::rateLimitsUpdated>();
    ASSERT_EQ(limits.rateLimits.size(), 2u);
    EXPECT_EQ(limits.rateLimits[0].resetSeconds, 60.0);  // a whole number reads as a real
    EXPECT_EQ(limits.rateLimits[1].resetSeconds, 0.3);

    const auto failed = decodeServerEvent(readFixture("conversation.item.input_audio_transcription.failed"));
    const auto& error = failed.get<Kind::conversationItemInputAudioTranscriptionFailed>().error;
    EXPECT_EQ(error.code, "audio_unintelligible");
    EXPECT_FALSE(error.param);
}

TEST(ServerEventDecoding, TypeMustMatchExactly) {
    for (const std::string type : {"Response.audio.delta", "RESPONSE.DONE", "response.done ", " error", "error\n"}) {
        SCOPED_TRACE(type);
        nlohmann::json message = {{"type", type}, {"event_id", "e"}};
        try {
            decodeServerEvent(message.dump());
            ADD_FAILURE() << "decoded";
        } catch (const UnknownEventTypeError& error) {
            EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted);
            EXPECT_EQ(error.codingPath, CodingPath{"type"});
            EXPECT_EQ(error.description, "Unknown event type: " + type);
            EXPECT_EQ(std::string(error.what()), "Unknown event type: " + type);
            EXPECT_EQ(error.type(), type);
        }
    }
}

TEST(ServerEventDecoding, MessageThatIsNoEventFails) {
    EXPECT_EQ(decodeFailure("not json").kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(decodeFailure("[1,2]").kind, DecodingError::Kind::typeMismatch);
    auto missing = decodeFailure(R"({"event_id":"e"})");
    EXPECT_EQ(missing.kind, DecodingError::Kind::keyNotFound);
    EXPECT_EQ(missing.codingPath, CodingPath{"type"});
    auto number = decodeFailure(R"({"type":7,"event_id":"e"})");
    EXPECT_EQ(number.kind, DecodingError::Kind::typeMismatch);
    EXPECT_EQ(number.codingPath, CodingPath{"type"});
    // Only an unknown type text is reported as an unknown event type.
    EXPECT_THROW(
        try { decodeServerEvent(R"({"type":7})"); } catch (const UnknownEventTypeError&) {
        } catch (const DecodingError&) { throw std::runtime_error("not an unknown type"); },
        std::runtime_error);
}

TEST(ServerEventDecoding, PayloadFieldsAreCheckedInDeclarationOrder) {
    const auto cleared = decodeServerEvent(R"({"type":"input_audio_buffer.cleared","event_id":"e9"})");
    EXPECT_EQ(cleared.kind(), Kind::inputAudioBufferCleared);
    EXPECT_EQ(cleared.id(), "e9");

    auto committed = decodeFailure(R"({"type":"input_audio_buffer.committed","event_id":"e9"})");
    EXPECT_EQ(committed.kind, DecodingError::Kind::keyNotFound);
    EXPECT_EQ(committed.codingPath, CodingPath{"item_id"});

    // eventId comes first in every record.
    auto noId = decodeFailure(R"({"type":"response.text.delta"})");
    EXPECT_EQ(noId.codingPath, CodingPath{"event_id"});
    auto nullIndex = decodeFailure(
        R"({"type":"response.text.delta","event_id":"e","response_id":"r","item_id":"i","output_index":null})");
    EXPECT_EQ(nullIndex.kind, DecodingError::Kind::valueNotFound);
    EXPECT_EQ(nullIndex.codingPath, CodingPath{"output_index"});
    auto textIndex = decodeFailure(
        R"({"type":"response.text.delta","event_id":"e","response_id":"r","item_id":"i","output_index":"0"})");
    EXPECT_EQ(textIndex.kind, DecodingError::Kind::typeMismatch);
    EXPECT_EQ(textIndex.codingPath, CodingPath{"output_index"});
}

TEST(ServerEventDecoding, PreviousItemIdIsOptional) {
    const auto absent = decodeServerEvent(R"({"type":"input_audio_buffer.committed","event_id":"e","item_id":"i"})");
    EXPECT_FALSE(absent.get<Kind::inputAudioBufferCommitted>().previousItemId);
    const auto null = decodeServerEvent(
        R"({"type":"input_audio_buffer.committed","event_id":"e","item_id":"i","previous_item_id":null})");
    EXPECT_FALSE(null.get<Kind::inputAudioBufferCommitted>().previousItemId);
    const auto text = decodeServerEvent(
        R"({"type":"input_audio_buffer.committed","event_id":"e","item_id":"i","previous_item_id":"p"})");
    EXPECT_EQ(text.get<Kind::inputAudioBufferCommitted>().previousItemId, "p");
}

TEST(ServerEventDecoding, IntegerFieldsTakeOnlyIntegralNumbersThatFit) {
    auto speech = [](std::string number) {
        return R"({"type":"input_audio_buffer.speech_started","event_id":"e","item_id":"i","audio_start_ms":)" +
               number + "}";
    };
    EXPECT_EQ(decodeServerEvent(speech("1540")).get<Kind::inputAudioBufferSpeechStarted>().audioStartMs, 1540);
    EXPECT_EQ(decodeServerEvent(speech("-3")).get<Kind::inputAudioBufferSpeechStarted>().audioStartMs, -3);
    EXPECT_EQ(decodeServerEvent(speech("2.0")).get<Kind::inputAudioBufferSpeechStarted>().audioStartMs, 2);
    EXPECT_EQ(decodeServerEvent(speech("9223372036854775807")).get<Kind::inputAudioBufferSpeechStarted>().audioStartMs,
              INT64_MAX);
    EXPECT_EQ(decodeServerEvent(speech("-9223372036854775808")).get<Kind::inputAudioBufferSpeechStarted>().audioStartMs,
              INT64_MIN);
    for (const std::string bad : {"1.5", "9223372036854775808", "18446744073709551616", "1e19", "-1e19"}) {
        SCOPED_TRACE(bad);
        auto error = decodeFailure(speech(bad));
        EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(error.codingPath, CodingPath{"audio_start_ms"});
    }
}

TEST(ServerEventDecoding, RealFieldsRejectNumbersThatAreNotFinite) {
    // A number beyond the range of a double never becomes infinity: the text is refused whole.
    auto error = decodeFailure(
        R"({"type":"rate_limits.updated","event_id":"e","rate_limits":[)"
        R"({"name":"requests","limit":1,"remaining":1,"reset_seconds":1e400}]})");
    EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_TRUE(error.codingPath.empty());
    EXPECT_NE(error.description.find("1e400"), std::string::npos) << error.description;

    const auto empty = decodeServerEvent(R"({"type":"rate_limits.updated","event_id":"e","rate_limits":[]})");
    EXPECT_TRUE(empty.get<Kind::rateLimitsUpdated>().rateLimits.empty());
}

TEST(ServerEventDecoding, AudioDeltaReadsItsKeysInItsOwnOrder) {
    const std::string full =
        R"({"type":"response.audio.delta","event_id":"e","response_id":"r","item_id":"i","output_index":1,)"
        R"("content_index":2,"delta":"AAEC/w=="})";
    const auto event = decodeServerEvent(full);
    const auto& delta = event.get<Kind::responseAudioDelta>();
    EXPECT_EQ(delta.delta, (Bytes{0, 1, 2, 255}));
    EXPECT_EQ(delta.outputIndex, 1);
    EXPECT_EQ(delta.contentIndex, 2);

    // With every key missing the first named is "item_id"; then "event_id", "output_index", ...
    const std::vector<std::pair<std::string, std::string>> order = {
        {"item_id", R"("item_id":"i")"},           {"event_id", R"("event_id":"e")"},
        {"output_index", R"("output_index":1)"},   {"response_id", R"("response_id":"r")"},
        {"content_index", R"("content_index":2)"}, {"delta", R"("delta":"AAEC")"}};
    std::string present;
    for (const auto& [key, member] : order) {
        SCOPED_TRACE(key);
        auto error = decodeFailure(R"({"type":"response.audio.delta")" + present + "}");
        EXPECT_EQ(error.kind, DecodingError::Kind::keyNotFound);
        EXPECT_EQ(error.codingPath, CodingPath{key});
        present += "," + member;
    }
}

TEST(ServerEventDecoding, AudioDeltaRejectsTextThatIsNotStrictBase64) {
    for (const std::string delta : {"AAEC\\nAAEC", "AAEC AAEC", "AAE", "AAEC=", "AA=C", "AAE-", "AAE_", "A===", "====",
                                    "AAECAAE"}) {
        SCOPED_TRACE(delta);
        auto error = decodeFailure(
            R"({"type":"response.audio.delta","event_id":"e","response_id":"r","item_id":"i","output_index":0,)"
            R"("content_index":0,"delta":")" +
            delta + R"("})");
        EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted);
        EXPECT_EQ(error.codingPath, CodingPath{"delta"});
        EXPECT_EQ(error.description, "Invalid base64-encoded audio data.");
    }
}

TEST(ServerEventDecoding, NestedRecordFailuresCarryTheirPath) {
    auto role = decodeFailure(
        R"({"type":"conversation.item.created","event_id":"e","item":{"id":"i","type":"message",)"
        R"("status":"completed","role":"robot","content":[]}})");
    EXPECT_EQ(role.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(role.codingPath, (CodingPath{"item", "role"}));

    auto item = decodeFailure(
        R"({"type":"response.output_item.added","event_id":"e","response_id":"r","output_index":0,)"
        R"("item":{"id":"i","type":"reasoning"}})");
    EXPECT_EQ(item.codingPath, (CodingPath{"item", "type"}));
    EXPECT_EQ(item.description, "Unknown item type: reasoning");

    auto part = decodeFailure(
        R"({"type":"response.content_part.added","event_id":"e","response_id":"r","item_id":"i",)"
        R"("output_index":0,"content_index":0,"part":{"type":"input_text","text":"x"}})");
    EXPECT_EQ(part.codingPath, (CodingPath{"part", "type"}));
    EXPECT_EQ(part.description, "Unknown content type: input_text");

    auto status = decodeFailure(
        R"({"type":"response.done","event_id":"e","response":{"id":"r","status":"queued","output":[]}})");
    EXPECT_EQ(status.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(status.codingPath, (CodingPath{"response", "status"}));

    auto audio = decodeFailure(
        R"({"type":"response.done","event_id":"e","response":{"id":"r","status":"completed","output":[)"
        R"({"id":"i","type":"message","status":"completed","role":"assistant","content":[)"
        R"({"type":"text","text":"hi"},{"type":"audio","audio":"!!!!"}]}]}})");
    EXPECT_EQ(audio.codingPath,
              (CodingPath{"response", "output", std::size_t{0}, "content", std::size_t{1}, "audio"}));
    EXPECT_EQ(audio.description, "Invalid base64-encoded audio data.");
    EXPECT_EQ(describePath(audio.codingPath), "response.output[0].content[1].audio");
}

TEST(ServerEventDecoding, CamelCaseKeysMatchLikeTheirSnakeCaseForm) {
    const auto event = decodeServerEvent(
        R"({"type":"response.text.delta","eventId":"e","responseId":"r","ITEM_ID":"i","output__index":3,)"
        R"("contentIndex":4,"delta":"d"})");
    const auto& delta = event.get<Kind::responseTextDelta>();
    EXPECT_EQ(event.id(), "e");
    EXPECT_EQ(delta.itemId, "i");
    EXPECT_EQ(delta.outputIndex, 3);
    EXPECT_EQ(delta.contentIndex, 4);
}

}  // namespace
}  // namespace realtime
