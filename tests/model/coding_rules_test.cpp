#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "realtime/model/codec.hpp"

namespace realtime {
namespace {

using Json = nlohmann::json;
using Property = Tool::FunctionParameters::Property;

template <class T>
DecodingError failureOf(const std::string& json) {
    try {
        decodeJson<T>(json);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded without error: " << json;
    return DecodingError(DecodingError::Kind::dataCorrupted, {}, "");
}

TEST(KeyConversion, FieldNamesToWireKeys) {
    EXPECT_EQ(camelToSnake("eventId"), "event_id");
    EXPECT_EQ(camelToSnake("maxResponseOutputTokens"), "max_response_output_tokens");
    EXPECT_EQ(camelToSnake("minItems"), "min_items");
    EXPECT_EQ(camelToSnake("id"), "id");
}

TEST(KeyConversion, ReceivedKeysToFieldNames) {
    EXPECT_EQ(snakeToCamel("audio_end_ms"), "audioEndMs");
    EXPECT_EQ(snakeToCamel("event_id"), "eventId");
    EXPECT_EQ(snakeToCamel("EVENT_ID"), "eventId");
    EXPECT_EQ(snakeToCamel("event__id"), "eventId");
    EXPECT_EQ(snakeToCamel("eventId"), "eventId");   // one part: unchanged
    EXPECT_EQ(snakeToCamel("EventId"), "EventId");   // one part: unchanged, matches nothing
    EXPECT_EQ(snakeToCamel("_event_id_"), "_eventId_");
    EXPECT_EQ(snakeToCamel("__"), "__");
    EXPECT_EQ(snakeToCamel(""), "");
}

TEST(KeyConversion, EverySpellingOfAKeyFillsTheField) {
    for (const auto* key : {"event_id", "eventId", "EVENT_ID", "event__id", "Event_Id"}) {
        SCOPED_TRACE(key);
        Json error = {{"type", "t"}, {"message", "m"}, {key, "e1"}};
        EXPECT_EQ(decodeJson<ServerError>(error.dump()).eventId, "e1");
    }
    for (const auto* key : {"EventId", "_event_id", "eventid"}) {
        Json error = {{"type", "t"}, {"message", "m"}, {key, "e1"}};
        EXPECT_FALSE(decodeJson<ServerError>(error.dump()).eventId) << key;
    }
}

TEST(KeyConversion, ExactWireKeyWinsOverConvertedSpellings) {
    const auto error = decodeJson<ServerError>(
        R"({"type":"t","message":"m","eventId":"camel","EVENT_ID":"upper","event_id":"exact"})");
    EXPECT_EQ(error.eventId, "exact");
    const auto camel = decodeJson<ServerError>(R"({"type":"t","message":"m","EVENT_ID":"upper","eventId":"camel"})");
    EXPECT_EQ(camel.eventId, "camel");
}

TEST(KeyConversion, MapKeysTravelAsStored) {
    Response response{.id = "r", .status = Response::Status::completed};
    response.metadata = {{{"userId", "1"}, {"session_name", "2"}, {"UPPER_CASE", "3"}}};
    const auto json = Json::parse(encodeJson(response));
    EXPECT_EQ(json["metadata"], Json::parse(R"({"userId":"1","session_name":"2","UPPER_CASE":"3"})"));
    EXPECT_EQ(decodeJson<Response>(json.dump()).metadata, response.metadata);

    const auto choice = decodeJson<ToolChoice>(R"({"function":{"name":"look_Up_Weather"}})");
    EXPECT_EQ(choice.functionName(), "look_Up_Weather");
}

TEST(ToolChoiceCoding, BareStringsAndFunctionObjects) {
    EXPECT_EQ(encodeJson(ToolChoice::auto_()), R"("auto")");
    EXPECT_EQ(encodeJson(ToolChoice::none()), R"("none")");
    EXPECT_EQ(encodeJson(ToolChoice::required()), R"("required")");
    EXPECT_EQ(Json::parse(encodeJson(ToolChoice::function("f"))),
              Json::parse(R"({"type":"function","function":{"name":"f"}})"));

    EXPECT_EQ(decodeJson<ToolChoice>(R"("required")"), ToolChoice::required());
    EXPECT_EQ(decodeJson<ToolChoice>(R"({"function":{"name":"f"}})"), ToolChoice::function("f"));
    EXPECT_EQ(decodeJson<ToolChoice>(R"({"type":"auto","function":{"name":"f","strict":"x"}})"),
              ToolChoice::function("f"));
    EXPECT_EQ(decodeJson<ToolChoice>(R"({"type":7,"function":{"name":"f"}})"), ToolChoice::function("f"));
}

TEST(ToolChoiceCoding, Failures) {
    for (const auto* text : {R"("function")", R"("Auto")", R"("")"}) {
        auto error = failureOf<ToolChoice>(text);
        EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted) << text;
        EXPECT_EQ(error.description, "Invalid value for enum.") << text;
        EXPECT_TRUE(error.codingPath.empty()) << text;
    }
    for (const auto* text : {R"({"type":"function","function":{}})", R"({"function":{"nam":"f"}})"}) {
        auto error = failureOf<ToolChoice>(text);
        EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted) << text;
        EXPECT_EQ(error.description, "Missing function name.") << text;
        EXPECT_EQ(error.codingPath, CodingPath{"function"}) << text;
    }
    auto missing = failureOf<ToolChoice>(R"({"type":"function"})");
    EXPECT_EQ(missing.kind, DecodingError::Kind::keyNotFound);
    EXPECT_EQ(missing.codingPath, CodingPath{"function"});
    auto notStrings = failureOf<ToolChoice>(R"({"function":{"name":"f","strict":true}})");
    EXPECT_EQ(notStrings.kind, DecodingError::Kind::typeMismatch);
    EXPECT_EQ(notStrings.codingPath, (CodingPath{"function", "strict"}));
    EXPECT_EQ(failureOf<ToolChoice>(R"({"function":"f"})").kind, DecodingError::Kind::typeMismatch);
    for (const auto* text : {"3", "true", "[]"}) {
        EXPECT_EQ(failureOf<ToolChoice>(text).kind, DecodingError::Kind::typeMismatch) << text;
    }

    // Inside a session the path leads to the value; a null there fails the session.
    Session session;
    session.model = "m";
    auto json = Json::parse(encodeJson(session));
    json["tool_choice"] = "Auto";
    EXPECT_EQ(failureOf<Session>(json.dump()).codingPath, CodingPath{"tool_choice"});
    json["tool_choice"] = nullptr;
    EXPECT_EQ(failureOf<Session>(json.dump()).kind, DecodingError::Kind::valueNotFound);
}

TEST(FixedErrorTexts, KindAndPath) {
    auto item = failureOf<Item>(R"({"id":"i","type":"Message"})");
    EXPECT_EQ(item.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(item.codingPath, CodingPath{"type"});
    EXPECT_EQ(item.description, "Unknown item type: Message");

    auto content = failureOf<Item::Message::Content>(R"({"type":"image","image_url":"x"})");
    EXPECT_EQ(content.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(content.codingPath, CodingPath{"type"});
    EXPECT_EQ(content.description, "Unknown content type: image");
    EXPECT_EQ(failureOf<Item::ContentPart>(R"({"type":"input_audio"})").description,
              "Unknown content type: input_audio");

    auto audio = failureOf<Item::Message::Content>(R"({"type":"input_audio","audio":"AAE\r\n"})");
    EXPECT_EQ(audio.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(audio.codingPath, CodingPath{"audio"});
    EXPECT_EQ(audio.description, "Invalid base64-encoded audio data.");
    EXPECT_EQ(std::string(audio.what()), "Invalid base64-encoded audio data.");

    auto noText = failureOf<Item::Message::Content>(R"({"type":"text"})");
    EXPECT_EQ(noText.kind, DecodingError::Kind::keyNotFound);
    EXPECT_EQ(noText.codingPath, CodingPath{"text"});
}

TEST(ServerErrorCoding, OptionalTextsAndRequiredOnes) {
    const auto minimal = decodeJson<ServerError>(R"({"type":"t","message":"m","code":null})");
    EXPECT_EQ(minimal, (ServerError{.type = "t", .message = "m"}));
    EXPECT_EQ(Json::parse(encodeJson(minimal)), Json::parse(R"({"type":"t","message":"m"})"));
    EXPECT_EQ(Json::parse(encodeJson(ServerError{.type = "t", .message = "m", .eventId = "e"}))["event_id"], "e");
    EXPECT_EQ(failureOf<ServerError>(R"({"type":"t"})").codingPath, CodingPath{"message"});
    EXPECT_EQ(failureOf<ServerError>(R"({"type":"t","message":"m","param":3})").kind,
              DecodingError::Kind::typeMismatch);
}

// Parameters whose "root" property nests `levels` schema records: Property -> items -> properties
// -> Property -> ... Built as text, as it arrives.
std::string nestedSchema(int levels) {
    std::string open, close;
    for (int level = 1; level < levels; ++level) {
        if (level % 2 == 1) {
            open += R"({"type":"array","items":)";  // a Property holding Items
            close += "}";
        } else {
            open += R"({"type":"object","properties":{"p":)";  // Items holding a Property
            close += "}}";
        }
    }
    return R"({"type":"object","properties":{"root":)" + open + R"({"type":"string"})" + close + "}}";
}

TEST(ToolSchema, NestsDeeplyButNotWithoutBound) {
    const auto deep = decodeJson<Tool::FunctionParameters>(nestedSchema(64));
    EXPECT_EQ(decodeJson<Tool::FunctionParameters>(encodeJson(deep)), deep);

    auto error = failureOf<Tool::FunctionParameters>(nestedSchema(65));
    EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(std::get<std::string>(error.codingPath.front()), "properties");

    // Thousands of levels fail the same way instead of exhausting the stack.
    EXPECT_EQ(failureOf<Tool::FunctionParameters>(nestedSchema(20000)).kind,
              DecodingError::Kind::dataCorrupted);
    // The depth count starts afresh for the next decode.
    EXPECT_NO_THROW(decodeJson<Tool::FunctionParameters>(nestedSchema(64)));
}

TEST(Base64, StrictStandardAlphabet) {
    EXPECT_EQ(base64Decode(""), Bytes{});
    EXPECT_EQ(base64Decode("Zm9vYg=="), (Bytes{'f', 'o', 'o', 'b'}));
    EXPECT_EQ(base64Decode("Zm9vYmE="), (Bytes{'f', 'o', 'o', 'b', 'a'}));
    EXPECT_EQ(base64Decode("+/+/"), (Bytes{0xfb, 0xff, 0xbf}));
    for (const auto* bad : {"Zm9vYg", "Zm9vYg=", "Zm9v\nYg==", " Zm9v", "Zm9v YmE=", "Zm=vYmE=", "-_-_", "Zg==Zg==",
                            "=Zm9", "Zm9vYg=\x80"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    Bytes every(256);
    for (int i = 0; i < 256; ++i) every[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    for (std::size_t size = 0; size < 10; ++size) {
        const Bytes prefix(every.begin(), every.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_EQ(base64Decode(base64Encode(prefix)), prefix);
    }
    EXPECT_EQ(base64Decode(base64Encode(every)), every);
}

}  // namespace
}  // namespace realtime
