#include <cmath>
#include <limits>
#include <optional>

#include "coding_checks.hpp"

namespace realtime::model_test {
namespace {

Json encoded(const ClientEvent& event) { return Json::parse(encode(event)); }

Session sampleSession() {
    Session session;
    session.model = "gpt-4o-realtime-preview";
    session.modalities = {Session::Modality::text, Session::Modality::audio};
    session.instructions = "Be brief.";
    return session;
}

Item userMessage() {
    return Item(Item::Message("msg_1", Item::ItemRole::user, {Item::Message::Content::input_text("Hello")}));
}

// The path of the EncodingError encoding `event` fails with; nothing when it encodes.
std::optional<CodingPath> encodingFailure(const ClientEvent& event) {
    try {
        encode(event);
    } catch (const EncodingError& error) {
        return error.codingPath;
    }
    return std::nullopt;
}

TEST(ClientEventEncoding, EachEventWritesExactlyItsMembers) {
    const std::uint8_t pcm[] = {1, 2, 3, 4};
    const std::string item = R"({"id":"msg_1","type":"message","status":"completed","role":"user",
                                 "content":[{"type":"input_text","text":"Hello"}]})";
    Response::Config config{.modalities = {Session::Modality::text}, .instructions = "Answer"};
    config.toolChoice = ToolChoice::none();
    config.conversation = Response::Config::Conversation::none;
    const std::vector<std::pair<ClientEvent, std::string>> cases = {
        {ClientEvent::updateSession(std::nullopt, sampleSession()),
         R"({"type":"session.update","session":)" + encodeJson(sampleSession()) + "}"},
        {ClientEvent::appendInputAudioBuffer(std::nullopt, pcm),
         R"({"type":"input_audio_buffer.append","audio":"AQIDBA=="})"},
        {ClientEvent::commitInputAudioBuffer(std::nullopt), R"({"type":"input_audio_buffer.commit"})"},
        {ClientEvent::clearInputAudioBuffer(std::nullopt), R"({"type":"input_audio_buffer.clear"})"},
        {ClientEvent::createConversationItem(std::nullopt, std::nullopt, userMessage()),
         R"({"type":"conversation.item.create","item":)" + item + "}"},
        {ClientEvent::createConversationItem("evt", "prev", userMessage()),
         R"({"type":"conversation.item.create","event_id":"evt","previous_item_id":"prev","item":)" + item + "}"},
        // Zero is a value, not an absence.
        {ClientEvent::truncateConversationItem(std::nullopt, "item_1", 0, 0),
         R"({"type":"conversation.item.truncate","item_id":"item_1","content_index":0,"audio_end_ms":0})"},
        {ClientEvent::deleteConversationItem(std::nullopt, std::nullopt, 0, 0),
         R"({"type":"conversation.item.delete","content_index":0,"audio_end_ms":0})"},
        {ClientEvent::deleteConversationItem("evt", "item_1", 1, 250),
         R"({"type":"conversation.item.delete","event_id":"evt","item_id":"item_1","content_index":1,
             "audio_end_ms":250})"},
        {ClientEvent::createResponse(std::nullopt, std::nullopt), R"({"type":"response.create"})"},
        {ClientEvent::createResponse("evt", std::nullopt), R"({"type":"response.create","event_id":"evt"})"},
        {ClientEvent::createResponse(std::nullopt, config),
         R"({"type":"response.create","response":{"modalities":["text"],"instructions":"Answer","voice":"alloy",
             "output_audio_format":"pcm16","tools":[],"tool_choice":"none","temperature":0.8,
             "conversation":"none"}})"},
        {ClientEvent::cancelResponse(std::nullopt), R"({"type":"response.cancel"})"},
        {ClientEvent::cancelResponse("evt"), R"({"type":"response.cancel","event_id":"evt"})"},
    };
    for (const auto& [event, json] : cases) EXPECT_EQ(encoded(event), Json::parse(json));

    // Appended audio is base64 on one line, however long.
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
        EXPECT_EQ(encodingFailure(ClientEvent::updateSession(std::nullopt, session)),
                  (CodingPath{"session", "temperature"}));
    }

    auto session = sampleSession();
    session.turnDetection = Session::TurnDetection::serverVad(std::numeric_limits<double>::infinity());
    EXPECT_TRUE(encodingFailure(ClientEvent::updateSession(std::nullopt, session)));

    Tool::FunctionParameters::Property count{.type = Tool::FunctionParameters::JSONType::number};
    count.maximum = std::nan("");
    Response::Config config;
    config.tools = {Tool{.name = "f", .description = "d", .parameters = {.properties = {{{"count", count}}}}}};
    EXPECT_EQ(encodingFailure(ClientEvent::createResponse(std::nullopt, config)),
              (CodingPath{"response", "tools", std::size_t{0}, "parameters", "properties", "count", "maximum"}));
}

TEST(ClientEventEncoding, TextThatIsNotUtf8FailsToEncode) {
    auto session = sampleSession();
    session.instructions = "\xff\xfe";
    EXPECT_THROW(encode(ClientEvent::updateSession(std::nullopt, session)), EncodingError);
}

}  // namespace
}  // namespace realtime::model_test
