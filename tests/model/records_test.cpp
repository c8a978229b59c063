#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "realtime/model/codec.hpp"

namespace realtime {
namespace {

using Json = nlohmann::json;
using JSONType = Tool::FunctionParameters::JSONType;
using Property = Tool::FunctionParameters::Property;
using Content = Item::Message::Content;

std::set<std::string> keysOf(const std::string& text) {
    std::set<std::string> keys;
    const auto object = Json::parse(text);
    for (const auto& [key, value] : object.items()) keys.insert(key);
    return keys;
}

template <class T>
void expectRoundTrip(const T& value) {
    const auto text = encodeJson(value);
    EXPECT_EQ(decodeJson<T>(text), value) << text;
}

Tool weatherTool() {
    Property unit{.type = JSONType::string, .description = "Unit", .enum_ = {{"c", "f"}}};
    Property days{.type = JSONType::array,
                  .items = Property::Items{.type = JSONType::object,
                                           .properties = {{{"dayOfWeek", unit}, {"max_temp", Property{}}}},
                                           .minimum = 0.5,
                                           .minItems = 1,
                                           .uniqueItems = true},
                  .minimum = -1.25,
                  .maxItems = 7};
    return Tool{.name = "get_weather",
                .description = "Look up the weather",
                .parameters = {.properties = {{{"unit", unit}, {"days", days}, {"cityName", Property{}}}},
                               .required = {{"unit"}},
                               .pattern = "^x",
                               .const_ = "c",
                               .enum_ = {{"a"}},
                               .multipleOf = 2,
                               .minimum = -3,
                               .maximum = 9}};
}

Session fullSession() {
    Session session;
    session.id = "sess_1";
    session.model = "gpt-4o-realtime-preview";
    session.modalities = {Session::Modality::audio, Session::Modality::text};
    session.instructions = "Speak softly.";
    session.voice = Session::Voice::verse;
    session.inputAudioFormat = Session::AudioFormat::g711_ulaw;
    session.outputAudioFormat = Session::AudioFormat::g711_alaw;
    session.inputAudioTranscription =
        Session::InputAudioTranscription{Session::InputAudioTranscription::TranscriptionModel::gpt4oMini, "en", "p"};
    session.inputAudioNoiseReduction =
        Session::InputAudioNoiseReduction{Session::InputAudioNoiseReduction::NoiseReductionType::farField};
    session.turnDetection = Session::TurnDetection::serverVad(0.5, false, 300, 500);
    session.tools = {weatherTool()};
    session.toolChoice = ToolChoice::function("get_weather");
    session.temperature = 0.6;
    session.maxOutputTokens = 4096;
    return session;
}

Session minimalSession() {
    Session session;
    session.model = "m";
    session.modalities = {Session::Modality::text};
    session.instructions = "";
    return session;
}

TEST(RecordRoundTrip, SessionWithAndWithoutOptionals) {
    expectRoundTrip(fullSession());
    expectRoundTrip(minimalSession());
    auto semantic = minimalSession();
    semantic.turnDetection =
        Session::TurnDetection::semanticVad(Session::TurnDetection::TurnDetectionEagerness::medium);
    semantic.inputAudioNoiseReduction = Session::InputAudioNoiseReduction{};
    semantic.inputAudioTranscription = Session::InputAudioTranscription{};
    expectRoundTrip(semantic);
}

TEST(RecordRoundTrip, ToolsAndToolChoices) {
    expectRoundTrip(weatherTool());
    expectRoundTrip(Tool{.name = "n", .description = "d"});
    for (const auto& choice : {ToolChoice::auto_(), ToolChoice::none(), ToolChoice::required(),
                               ToolChoice::function("get_weather"), ToolChoice::function("")}) {
        expectRoundTrip(choice);
    }
}

TEST(RecordRoundTrip, ItemsOfEveryKind) {
    expectRoundTrip(Item(Item::Message("m1", Item::ItemRole::assistant,
                                       {Content::text("hi"), Content::input_text("yo"),
                                        Content::audio(Item::Audio{{1, 2, 3}, "hello"}),
                                        Content::input_audio(Item::Audio{{}, std::nullopt})})));
    expectRoundTrip(Item(Item::Message("m2", Item::ItemRole::system, {})));
    expectRoundTrip(Item(Item::FunctionCall("fc", Item::ItemStatus::in_progress, "call_1", "f", "{}")));
    expectRoundTrip(Item(Item::FunctionCallOutput("fo", "call_1", "42")));
}

TEST(RecordRoundTrip, ResponsesAndConfigs) {
    Response response{.id = "resp_1", .status = Response::Status::incomplete};
    expectRoundTrip(response);
    response.output = {Item(Item::FunctionCallOutput("fo", "c", "o"))};
    response.usage = Response::Usage{.totalTokens = 10,
                                     .inputTokens = 4,
                                     .outputTokens = 6,
                                     .inputTokenDetails = {.textTokens = 1,
                                                           .audioTokens = 3,
                                                           .cachedTokens = 2,
                                                           .cachedTokensDetails = {.textTokens = 2, .audioTokens = 0}},
                                     .outputTokenDetails = {.textTokens = 5, .audioTokens = 1}};
    response.metadata = {{{"Mixed_Case", "v"}, {"snake_key", "w"}}};
    expectRoundTrip(response);

    Response::Config config{.modalities = {Session::Modality::audio},
                            .instructions = "i",
                            .voice = Session::Voice::nova,
                            .tools = {weatherTool()},
                            .toolChoice = ToolChoice::required(),
                            .temperature = 1.0};
    expectRoundTrip(config);
    config.maxResponseOutputTokens = 100;
    config.conversation = Response::Config::Conversation::auto_;
    config.metadata = std::map<std::string, std::string>{};
    config.input = {Item(Item::Message("m", Item::ItemRole::user, {Content::input_text("q")}))};
    expectRoundTrip(config);
}

TEST(RecordRoundTrip, ServerErrors) {
    expectRoundTrip(ServerError{.type = "t", .message = "m"});
    expectRoundTrip(ServerError{.type = "t", .code = "c", .message = "m", .param = "p", .eventId = "e"});
}

TEST(SessionCoding, LeavesOutOptionalsAndKeepsRequiredKeys) {
    EXPECT_EQ(keysOf(encodeJson(minimalSession())),
              (std::set<std::string>{"model", "modalities", "instructions", "voice", "input_audio_format",
                                     "output_audio_format", "tools", "tool_choice", "temperature"}));
    EXPECT_EQ(Json::parse(encodeJson(minimalSession()))["tools"], Json::array());

    const auto full = Json::parse(encodeJson(fullSession()));
    EXPECT_EQ(full["max_output_tokens"], 4096);
    EXPECT_EQ(full["input_audio_transcription"]["model"], "gpt-4o-mini-transcribe");
    EXPECT_EQ(full["input_audio_noise_reduction"], Json::parse(R"({"type":"far_field"})"));

    EXPECT_EQ(Json::parse(encodeJson(Session::InputAudioTranscription{})), Json::parse(R"({"model":"whisper-1"})"));
    EXPECT_EQ(encodeJson(Session::InputAudioNoiseReduction{}), "{}");
    EXPECT_EQ(decodeJson<Session::InputAudioNoiseReduction>("{}"), Session::InputAudioNoiseReduction{});
}

TEST(SessionCoding, TurnDetectionFactories) {
    EXPECT_EQ(Json::parse(encodeJson(Session::TurnDetection::semanticVad(
                  Session::TurnDetection::TurnDetectionEagerness::auto_))),
              Json::parse(R"({"type":"semantic_vad","create_response":true,"eagerness":"auto"})"));
    EXPECT_EQ(Json::parse(encodeJson(Session::TurnDetection::serverVad())),
              Json::parse(R"({"type":"server_vad","create_response":true})"));
    EXPECT_EQ(Json::parse(encodeJson(Session::TurnDetection::serverVad(0.5, std::nullopt, 300))),
              Json::parse(R"({"type":"server_vad","create_response":true,"threshold":0.5,"prefix_padding_ms":300})"));
}

TEST(SessionCoding, ReceivedNullsAndOtherLimitKeyReadAsAbsent) {
    auto object = Json::parse(encodeJson(minimalSession()));
    object["turn_detection"] = nullptr;
    object["input_audio_transcription"] = nullptr;
    object["input_audio_noise_reduction"] = nullptr;
    object["max_response_output_tokens"] = 4096;
    EXPECT_EQ(decodeJson<Session>(object.dump()), minimalSession());
    object["max_output_tokens"] = 4096;
    EXPECT_EQ(decodeJson<Session>(object.dump()).maxOutputTokens, 4096);
}

TEST(SessionCoding, RawTextsMatchCaseSensitively) {
    const auto base = Json::parse(encodeJson(minimalSession()));
    const std::vector<std::pair<std::string, Json>> bad = {
        {"voice", "Alloy"},
        {"input_audio_format", "PCM16"},
        {"modalities", Json::parse(R"(["text","video"])")},
        {"turn_detection", Json::parse(R"({"type":"server_vad","create_response":true,"eagerness":"none"})")},
        {"input_audio_transcription", Json::parse(R"({"model":"whisper"})")},
        {"input_audio_noise_reduction", Json::parse(R"({"type":"nearField"})")},
    };
    for (const auto& [key, value] : bad) {
        SCOPED_TRACE(key);
        auto object = base;
        object[key] = value;
        try {
            decodeJson<Session>(object.dump());
            ADD_FAILURE() << "decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind, DecodingError::Kind::dataCorrupted);
            EXPECT_EQ(std::get<std::string>(error.codingPath.front()), key);
        }
    }
}

TEST(SessionCoding, RequiredKeysMustBePresentAndOfTheirKind) {
    const auto base = Json::parse(encodeJson(minimalSession()));
    for (const auto& key : {"model", "modalities", "instructions", "voice", "input_audio_format", "output_audio_format",
                            "tools", "tool_choice", "temperature"}) {
        SCOPED_TRACE(key);
        auto missing = base;
        missing.erase(key);
        try {
            decodeJson<Session>(missing.dump());
            ADD_FAILURE() << "decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind, DecodingError::Kind::keyNotFound);
            EXPECT_EQ(error.codingPath, CodingPath{key});
        }
        auto null = base;
        null[key] = nullptr;
        try {
            decodeJson<Session>(null.dump());
            ADD_FAILURE() << "decoded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind, DecodingError::Kind::valueNotFound);
            EXPECT_EQ(error.codingPath, CodingPath{key});
        }
    }
    auto wrongKind = base;
    wrongKind["temperature"] = "0.8";
    EXPECT_THROW(decodeJson<Session>(wrongKind.dump()), DecodingError);
    auto noCreate = base;
    noCreate["turn_detection"] = Json::parse(R"({"type":"server_vad","threshold":0.5})");
    try {
        decodeJson<Session>(noCreate.dump());
        ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.codingPath, (CodingPath{"turn_detection", "create_response"}));
    }
}

TEST(ResponseCoding, OptionalsAndRequiredKeys) {
    const auto bare = decodeJson<Response>(R"({"id":"r","status":"in_progress","output":[]})");
    EXPECT_EQ(bare, (Response{.id = "r", .status = Response::Status::inProgress}));
    EXPECT_EQ(keysOf(encodeJson(bare)), (std::set<std::string>{"id", "status", "output"}));

    EXPECT_FALSE(decodeJson<Response>(R"({"id":"r","status":"failed","output":[],"usage":null})").usage);
    const auto emptyMetadata = decodeJson<Response>(R"({"id":"r","status":"failed","output":[],"metadata":{}})");
    ASSERT_TRUE(emptyMetadata.metadata);
    EXPECT_TRUE(emptyMetadata.metadata->empty());
    EXPECT_EQ(Json::parse(encodeJson(emptyMetadata))["metadata"], Json::object());

    const std::string usage =
        R"({"total_tokens":1,"input_tokens":1,"output_tokens":0,"input_token_details":)"
        R"({"text_tokens":1,"audio_tokens":0,"cached_tokens":0%s},"output_token_details":{"text_tokens":0,"audio_tokens":0}})";
    auto withCached = usage;
    withCached.replace(withCached.find("%s"), 2, R"(,"cached_tokens_details":{"text_tokens":0,"audio_tokens":0})");
    auto withoutCached = usage;
    withoutCached.replace(withoutCached.find("%s"), 2, "");
    EXPECT_NO_THROW(decodeJson<Response::Usage>(withCached));
    try {
        decodeJson<Response::Usage>(withoutCached);
        ADD_FAILURE() << "decoded";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind, DecodingError::Kind::keyNotFound);
        EXPECT_EQ(error.codingPath, (CodingPath{"input_token_details", "cached_tokens_details"}));
    }

    const auto config = Json::parse(encodeJson(Response::Config{}));
    EXPECT_FALSE(config.contains("conversation"));
    EXPECT_FALSE(config.contains("max_response_output_tokens"));
    for (const auto& key : {"modalities", "instructions", "voice", "output_audio_format", "tools", "tool_choice",
                            "temperature"}) {
        auto missing = config;
        missing.erase(key);
        EXPECT_THROW(decodeJson<Response::Config>(missing.dump()), DecodingError) << key;
    }
}

TEST(ItemCoding, MessagesCallsAndOutputs) {
    const auto message = decodeJson<Item>(
        R"({"id":"i","type":"message","status":"in_progress","role":"assistant","content":[]})");
    ASSERT_EQ(message.kind(), Item::Kind::message);
    EXPECT_EQ(std::get<Item::Message>(message.value).status, Item::ItemStatus::in_progress);
    EXPECT_EQ(message.id(), "i");
    EXPECT_THROW(decodeJson<Item>(R"({"id":"i","type":"message","role":"assistant","content":[]})"), DecodingError);
    EXPECT_THROW(decodeJson<Item>(R"({"id":"i","type":"message","status":"completed","role":"assistant"})"),
                 DecodingError);

    const auto output = decodeJson<Item>(R"({"id":"o","type":"function_call_output","call_id":"c","output":"x"})");
    ASSERT_EQ(output.kind(), Item::Kind::functionCallOutput);
    EXPECT_EQ(std::get<Item::FunctionCallOutput>(output.value).callId, "c");
    EXPECT_EQ(keysOf(encodeJson(output)), (std::set<std::string>{"id", "type", "call_id", "output"}));

    const Item user(Item::Message("u", Item::ItemRole::user, {Content::input_text("Hi")}));
    EXPECT_EQ(Json::parse(encodeJson(user)),
              Json::parse(R"({"id":"u","type":"message","status":"completed","role":"user",
                              "content":[{"type":"input_text","text":"Hi"}]})"));
    EXPECT_EQ(std::get<Item::Message>(user.value).type(), "message");
}

TEST(ItemCoding, ContentEntries) {
    // Audio without bytes reads as empty and is written back with a null transcript.
    for (const auto* text : {R"({"type":"audio"})", R"({"type":"audio","audio":null,"transcript":null})"}) {
        const auto content = decodeJson<Content>(text);
        ASSERT_EQ(content.kind(), Content::Kind::audio);
        EXPECT_TRUE(content.audio()->audio.empty());
        EXPECT_FALSE(content.text());
        EXPECT_EQ(Json::parse(encodeJson(content)),
                  Json::parse(R"({"type":"audio","audio":"","transcript":null})"));
    }
    EXPECT_THROW(decodeJson<Content>(R"({"type":"audio","transcript":7})"), DecodingError);
    EXPECT_THROW(decodeJson<Content>(R"({"type":"audio","audio":7})"), DecodingError);

    const auto inputText = decodeJson<Content>(R"({"type":"input_text","text":"t","transcript":"ignored"})");
    EXPECT_EQ(inputText, Content::input_text("t"));
    EXPECT_EQ(keysOf(encodeJson(inputText)), (std::set<std::string>{"type", "text"}));

    EXPECT_EQ(Content::input_audio(Item::Audio{}).text(), std::nullopt);
    EXPECT_EQ(Content::audio(Item::Audio{{}, "said"}).text(), "said");
    EXPECT_EQ(Content::input_text("typed").text(), "typed");

    const auto audioPart = decodeJson<Item::ContentPart>(R"({"type":"audio","audio":"AAE=","transcript":"t"})");
    EXPECT_EQ(Content(audioPart), Content::audio(Item::Audio{{0, 1}, "t"}));
    EXPECT_EQ(Content(Item::ContentPart::text("x")), Content::text("x"));
}

TEST(ToolCoding, SchemaKeysAndMapKeys) {
    const auto tool = Json::parse(encodeJson(weatherTool()));
    const auto& days = tool["parameters"]["properties"]["days"];
    EXPECT_EQ(days["max_items"], 7);
    EXPECT_EQ(days["items"]["min_items"], 1);
    EXPECT_EQ(days["items"]["unique_items"], true);
    // Argument names travel as stored.
    EXPECT_TRUE(tool["parameters"]["properties"].contains("cityName"));
    EXPECT_TRUE(days["items"]["properties"].contains("dayOfWeek"));
    EXPECT_TRUE(days["items"]["properties"].contains("max_temp"));
    EXPECT_EQ(tool["parameters"]["multiple_of"], 2);
    EXPECT_EQ(tool["parameters"]["const"], "c");

    const auto onlyType = Json::parse(encodeJson(Tool{.name = "n", .description = "d"}));
    EXPECT_EQ(onlyType["parameters"], Json::parse(R"({"type":"object"})"));
    EXPECT_EQ(onlyType["type"], "function");

    for (const auto* text : {R"({"type":"array","minItems":1})", R"({"type":"array","min_items":1})"}) {
        EXPECT_EQ(decodeJson<Property>(text).minItems, 1);
    }
    // Undeclared schema keywords are dropped.
    const auto received = decodeJson<Property>(R"({"type":"string","maxLength":3,"x-extra":true})");
    EXPECT_EQ(received, Property{.type = JSONType::string});

    // Integral bounds only in the top-level parameters.
    EXPECT_THROW(decodeJson<Tool::FunctionParameters>(R"({"type":"object","minimum":0.5})"), DecodingError);
    EXPECT_EQ(decodeJson<Property>(R"({"type":"number","minimum":0.5})").minimum, 0.5);
    EXPECT_EQ(decodeJson<Property::Items>(R"({"type":"number","maximum":0.5})").maximum, 0.5);
    EXPECT_THROW(decodeJson<Property>(R"({"type":"Number"})"), DecodingError);
    EXPECT_THROW(decodeJson<Tool>(R"({"type":"function","name":"n","description":"d"})"), DecodingError);
}

}  // namespace
}  // namespace realtime
