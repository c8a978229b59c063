#include "coding_checks.hpp"

namespace realtime::model_test {
namespace {

TEST(KeyConversion, EverySpellingOfAKeyFillsTheFieldAndTheExactKeyWins) {
    for (const auto* key : {"event_id", "eventId", "EVENT_ID", "event__id", "Event_Id"}) {
        Json error = {{"type", "t"}, {"message", "m"}, {key, "e1"}};
        EXPECT_EQ(decodeJson<ServerError>(error.dump()).eventId, "e1") << key;
    }
    for (const auto* key : {"EventId", "_event_id", "eventid"}) {
        Json error = {{"type", "t"}, {"message", "m"}, {key, "e1"}};
        EXPECT_FALSE(decodeJson<ServerError>(error.dump()).eventId) << key;
    }
    EXPECT_EQ(decodeJson<ServerError>(
                  R"({"type":"t","message":"m","eventId":"camel","EVENT_ID":"upper","event_id":"exact"})")
                  .eventId,
              "exact");
    EXPECT_EQ(decodeJson<ServerError>(R"({"type":"t","message":"m","EVENT_ID":"upper","eventId":"camel"})").eventId,
              "camel");
    // Keys made only of separators, or of none, convert without failing.
    for (const auto& [key, name] : std::vector<std::pair<std::string, std::string>>{
             {"_event_id_", "_eventId_"}, {"__", "__"}, {"", ""}}) {
        EXPECT_EQ(snakeToCamel(key), name) << key;
    }
}

TEST(ToolChoiceCoding, AnObjectNamesAFunctionWhateverItsTypeSays) {
    // Extra string members are ignored; the written forms are checked by RecordRoundTrip.
    for (const auto* text : {R"({"function":{"name":"f"}})", R"({"type":7,"function":{"name":"f"}})",
                             R"({"type":"auto","function":{"name":"f","strict":"x"}})"}) {
        EXPECT_EQ(decodeJson<ToolChoice>(text), ToolChoice::function("f")) << text;
    }
}

TEST(ToolChoiceCoding, Failures) {
    Session session;
    session.model = "m";
    auto inSession = Json::parse(encodeJson(session));
    inSession["tool_choice"] = "Auto";
    // A bare string that names no choice is one the service added later: kept and written back.
    for (const auto* text : {"function", "Auto", "any"}) {
        const auto choice = decodeJson<ToolChoice>(Json(text).dump());
        EXPECT_EQ(choice, ToolChoice::unknown(text));
        EXPECT_EQ(choice.functionName(), "");
        EXPECT_EQ(Json::parse(encodeJson(choice)), Json(text));
    }
    EXPECT_EQ(decodeJson<Session>(inSession.dump()).toolChoice, ToolChoice::unknown("Auto"));
    expectFailures({
        {failureOf<ToolChoice>(R"({"type":"function","function":{}})"), Kind::dataCorrupted, {"function"},
         "Missing function name."},
        {failureOf<ToolChoice>(R"({"function":{"nam":"f"}})"), Kind::dataCorrupted, {"function"},
         "Missing function name."},
        {failureOf<ToolChoice>(R"({"type":"function"})"), Kind::keyNotFound, {"function"}},
        {failureOf<ToolChoice>(R"({"function":{"name":"f","strict":true}})"), Kind::typeMismatch,
         {"function", "strict"}},
        {failureOf<ToolChoice>(R"({"function":"f"})"), Kind::typeMismatch, {"function"}},
        {failureOf<ToolChoice>("3"), Kind::typeMismatch, {}},
        // Inside a session the path leads to the value.
        {failureOf<Session>([&] {
             auto wrong = inSession;
             wrong["tool_choice"] = 3;
             return wrong.dump();
         }()),
         Kind::typeMismatch, {"tool_choice"}},
    });
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
    EXPECT_EQ(error.kind, Kind::dataCorrupted);
    EXPECT_EQ(std::get<std::string>(error.codingPath.front()), "properties");

    // Thousands of levels fail the same way instead of exhausting the stack.
    EXPECT_EQ(failureOf<Tool::FunctionParameters>(nestedSchema(20000)).kind, Kind::dataCorrupted);
    // The depth count starts afresh for the next decode.
    EXPECT_NO_THROW(decodeJson<Tool::FunctionParameters>(nestedSchema(64)));
}

TEST(ToolSchema, MinimumAndMaximumAreIntegersOnlyForTheWholeArgumentObject) {
    using Parameters = Tool::FunctionParameters;
    using Property = Parameters::Property;
    EXPECT_EQ(decodeJson<Parameters>(R"({"type":"object","minimum":-2,"maximum":3.0})").maximum, 3);
    expectFailures({
        {failureOf<Parameters>(R"({"type":"object","minimum":0.5})"), Kind::dataCorrupted, {"minimum"}},
        {failureOf<Parameters>(R"({"type":"object","maximum":1e300})"), Kind::dataCorrupted, {"maximum"}},
        {failureOf<Parameters>(R"({"type":"object","maximum":"3"})"), Kind::typeMismatch, {"maximum"}},
    });
    EXPECT_EQ(decodeJson<Property>(R"({"type":"number","minimum":0.5})").minimum, 0.5);
    EXPECT_EQ(decodeJson<Property::Items>(R"({"type":"number","maximum":0.5})").maximum, 0.5);
}

TEST(Base64, PaddedStandardAlphabetBothWaysAndStrictDecoding) {
    for (const auto& [bytes, text] : std::vector<std::pair<Bytes, std::string>>{
             {{}, ""},
             {{'f'}, "Zg=="},
             {{'f', 'o'}, "Zm8="},
             {{'f', 'o', 'o'}, "Zm9v"},
             {{'f', 'o', 'o', 'b'}, "Zm9vYg=="},
             {{'f', 'o', 'o', 'b', 'a'}, "Zm9vYmE="},
             {{0xfb, 0xff, 0xbf}, "+/+/"},
             {{0, 0, 0, 0}, "AAAAAA=="}}) {
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
    for (const auto* bad : {"Zm9vYg", "Zm9vYg=", "Zm9v\nYg==", " Zm9v", "Zm9v YmE=", "Zm=vYmE=", "-_-_", "Zg==Zg==",
                            "=Zm9", "Zm9vYg=\x80"}) {
        EXPECT_FALSE(base64Decode(bad)) << bad;
    }
    Bytes every(256);
    for (int i = 0; i < 256; ++i) every[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64Decode(base64Encode(every)), every);
}

}  // namespace
}  // namespace realtime::model_test
