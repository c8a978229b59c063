#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include <nlohmann/json.hpp>

#include "realtime/model/codec.hpp"

namespace realtime {
namespace {

using Json = nlohmann::json;

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

Json encoded(const ClientEvent& event) { return Json::parse(encode(event)); }

Session sampleSession() {
    Session session;
    session.model = "gpt-4o-realtime-preview";
    session.modalities = {Session::Modality::text, Session::Modality::audio};
    session.instructions = "Be brief.";
    session.voice = Session::Voice::coral;
    session.temperature = 0.7;
    return session;
}

Item userMessage() {
    return Item(Item::Message("msg_1", Item::ItemRole::user, {Item::Message::Content::input_text("Hello")}));
}

TEST(ClientEventEncoding, EachEventWritesExactlyItsKeys) {
    const std::uint8_t pcm[] = {1, 2, 3, 4};
    const struct {
        ClientEvent event;
        std::string type;
        std::set<std::string> keys;
    } cases[] = {
        {ClientEvent::updateSession(std::nullopt, sampleSession()), "session.update", {"type", "session"}},
        {ClientEvent::appendInputAudioBuffer(std::nullopt, pcm), "input_audio_buffer.append", {"type", "audio"}},
        {ClientEvent::commitInputAudioBuffer(std::nullopt), "input_audio_buffer.commit", {"type"}},
        {ClientEvent::clearInputAudioBuffer(std::nullopt), "input_audio_buffer.clear", {"type"}},
        {ClientEvent::createConversationItem(std::nullopt, std::nullopt, userMessage()),
         "conversation.item.create",
         {"type", "item"}},
        {ClientEvent::createConversationItem("evt", "prev", userMessage()),
         "conversation.item.create",
         {"type", "item", "event_id", "previous_item_id"}},
        {ClientEvent::truncateConversationItem(std::nullopt, "item_1", 0, 0),
         "conversation.item.truncate",
         {"type", "item_id", "content_index", "audio_end_ms"}},
        {ClientEvent::deleteConversationItem(std::nullopt, std::nullopt, 0, 0),
         "conversation.item.delete",
         {"type", "content_index", "audio_end_ms"}},
        {ClientEvent::deleteConversationItem("evt", "item_1", 1, 250),
         "conversation.item.delete",
         {"type", "event_id", "item_id", "content_index", "audio_end_ms"}},
        {ClientEvent::createResponse(std::nullopt, std::nullopt), "response.create", {"type"}},
        {ClientEvent::createResponse("evt", std::nullopt), "response.create", {"type", "event_id"}},
        {ClientEvent::cancelResponse(std::nullopt), "response.cancel", {"type"}},
        {ClientEvent::cancelResponse("evt"), "response.cancel", {"type", "event_id"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const auto json = encoded(c.event);
        EXPECT_EQ(keysOf(json), c.keys);
        EXPECT_EQ(json["type"], c.type);
        if (json.contains("event_id")) {
            EXPECT_EQ(json["event_id"], "evt");
        }
    }
}

TEST(ClientEventEncoding, PayloadValuesAreWrittenAsGiven) {
    const auto update = encoded(ClientEvent::updateSession("evt_1", sampleSession()));
    EXPECT_EQ(update["event_id"], "evt_1");
    EXPECT_EQ(update["session"]["voice"], "coral");
    EXPECT_EQ(update["session"]["modalities"], Json::parse(R"(["text","audio"])"));

    // Zero is a value, not an absence.
    const auto truncate = encoded(ClientEvent::truncateConversationItem(std::nullopt, "item_1", 0, 0));
    EXPECT_EQ(truncate["item_id"], "item_1");
    EXPECT_EQ(truncate["content_index"], 0);
    EXPECT_EQ(truncate["audio_end_ms"], 0);

    const auto create = encoded(ClientEvent::createConversationItem(std::nullopt, "item_0", userMessage()));
    EXPECT_EQ(create["previous_item_id"], "item_0");
    EXPECT_EQ(create["item"], Json::parse(R"({"id":"msg_1","type":"message","status":"completed","role":"user",
                                               "content":[{"type":"input_text","text":"Hello"}]})"));

    Response::Config config;
    config.modalities = {Session::Modality::text};
    config.instructions = "Answer";
    config.toolChoice = ToolChoice::none();
    config.conversation = Response::Config::Conversation::none;
    const auto response = encoded(ClientEvent::createResponse(std::nullopt, config));
    EXPECT_EQ(keysOf(response["response"]), (std::set<std::string>{"modalities", "instructions", "voice",
                                                                   "output_audio_format", "tools", "tool_choice",
                                                                   "temperature", "conversation"}));
    EXPECT_EQ(response["response"]["conversation"], "none");
    EXPECT_EQ(response["response"]["tool_choice"], "none");
    EXPECT_EQ(response["response"]["tools"], Json::array());
}

TEST(ClientEventEncoding, AppendedAudioIsPaddedBase64OnOneLine) {
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {{}, ""},
        {{'f'}, "Zg=="},
        {{'f', 'o'}, "Zm8="},
        {{'f', 'o', 'o'}, "Zm9v"},
        {{0xfb, 0xff, 0xbf}, "+/+/"},
        {{0, 0, 0, 0}, "AAAAAA=="},
    };
    for (const auto& [bytes, text] : cases) {
        const auto json = encoded(ClientEvent::appendInputAudioBuffer(std::nullopt, bytes));
        EXPECT_EQ(json["audio"], text);
    }
    Bytes large(3000);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 31);
    const auto text = encoded(ClientEvent::appendInputAudioBuffer(std::nullopt, large))["audio"].get<std::string>();
    EXPECT_EQ(text.size(), 4000u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(base64Decode(text), large);
}

TEST(ClientEventEncoding, NumbersThatAreNotFiniteFailTheWholeEvent) {
    for (const double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()}) {
        auto session = sampleSession();
        session.temperature = bad;
        try {
            encode(ClientEvent::updateSession(std::nullopt, session));
            ADD_FAILURE() << "encoded";
        } catch (const EncodingError& error) {
            EXPECT_EQ(error.codingPath, (CodingPath{"session", "temperature"}));
        }
    }

    auto session = sampleSession();
    session.turnDetection = Session::TurnDetection::serverVad(std::numeric_limits<double>::infinity());
    EXPECT_THROW(encode(ClientEvent::updateSession(std::nullopt, session)), EncodingError);

    Tool::FunctionParameters::Property count{.type = Tool::FunctionParameters::JSONType::number};
    count.maximum = std::nan("");
    Tool tool{.name = "f", .description = "d", .parameters = {.properties = {{{"count", count}}}}};
    Response::Config config;
    config.tools = {tool};
    try {
        encode(ClientEvent::createResponse(std::nullopt, config));
        ADD_FAILURE() << "encoded";
    } catch (const EncodingError& error) {
        EXPECT_EQ(error.codingPath, (CodingPath{"response", "tools", std::size_t{0}, "parameters", "properties",
                                                "count", "maximum"}));
    }
}

TEST(ClientEventEncoding, TextThatIsNotUtf8FailsToEncode) {
    auto session = sampleSession();
    session.instructions = "\xff\xfe";
    EXPECT_THROW(encode(ClientEvent::updateSession(std::nullopt, session)), EncodingError);
}

TEST(ClientEvent, EqualityComparesCaseAndPayload) {
    EXPECT_EQ(ClientEvent::commitInputAudioBuffer(std::nullopt), ClientEvent::commitInputAudioBuffer(std::nullopt));
    EXPECT_NE(ClientEvent::commitInputAudioBuffer(std::nullopt), ClientEvent::clearInputAudioBuffer(std::nullopt));
    EXPECT_NE(ClientEvent::commitInputAudioBuffer("a"), ClientEvent::commitInputAudioBuffer(std::nullopt));
    // Truncate and delete share their fields but are different events.
    EXPECT_NE(ClientEvent::truncateConversationItem(std::nullopt, "i", 0, 0),
              ClientEvent::deleteConversationItem(std::nullopt, "i", 0, 0));
}

}  // namespace
}  // namespace realtime
