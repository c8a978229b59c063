#include <functional>

#include "coding_checks.hpp"

namespace realtime::model_test {
namespace {

using Content = Item::Message::Content;

// The record decoded from `json`, encoded again.
template <class T>
Json reencoded(const Json& json) {
    return Json::parse(encodeJson(decodeJson<T>(json.dump())));
}

// A tool using every schema keyword, with argument names that are not snake case.
const Json weatherTool = Json::parse(R"({"type":"function","name":"get_weather","description":"Look up the weather",
    "parameters":{"type":"object","required":["unit"],"pattern":"^x","const":"c","enum":["a"],"multiple_of":2,
      "minimum":-3,"maximum":9,"properties":{
        "unit":{"type":"string","description":"Unit","format":"f","pattern":"p","const":"c","enum":["c","f"]},
        "cityName":{"type":"string"},
        "days":{"type":"array","required":["x"],"multiple_of":3,"minimum":-1.25,"maximum":1.5,"min_items":0,
          "max_items":7,"unique_items":false,"items":{"type":"object","pattern":"q","const":"k","enum":["e"],
            "multiple_of":4,"minimum":0.5,"maximum":2.5,"min_items":1,"max_items":2,"unique_items":true,
            "properties":{"dayOfWeek":{"type":"integer"},"max_temp":{"type":"number"}}}}}}})");

const Json fullSession = Json::parse(R"({"id":"sess_1","model":"gpt-4o-realtime-preview",
    "modalities":["audio","text"],"instructions":"Speak softly.","voice":"verse","input_audio_format":"g711_ulaw","output_audio_format":"g711_alaw",
    "input_audio_transcription":{"model":"gpt-4o-mini-transcribe","language":"en","prompt":"p"},
    "input_audio_noise_reduction":{"type":"far_field"},
    "turn_detection":{"type":"server_vad","threshold":0.5,"interrupt_response":false,"prefix_padding_ms":300,
      "silence_duration_ms":500,"create_response":false},
    "tools":[],"tool_choice":{"type":"function","function":{"name":"get_weather"}},"temperature":0.6,
    "max_output_tokens":4096})");

const Json minimalSession = Json::parse(R"({"model":"m","modalities":["text"],"instructions":"","voice":"alloy",
    "input_audio_format":"pcm16","output_audio_format":"pcm16","tools":[],"tool_choice":"auto","temperature":0.8})");

const Json userMessage = Json::parse(R"({"id":"m","type":"message","status":"completed","role":"user",
    "content":[{"type":"input_text","text":"q"}]})");

TEST(RecordRoundTrip, EveryRecordWithAndWithoutItsOptionals) {
    auto withTools = fullSession;
    withTools["tools"] = {weatherTool};
    auto semantic = minimalSession;
    semantic["turn_detection"] = {{"type", "semantic_vad"}, {"create_response", true}, {"eagerness", "medium"}};
    semantic["input_audio_noise_reduction"] = Json::object();
    semantic["input_audio_transcription"] = {{"model", "whisper-1"}};

    const std::vector<std::pair<std::function<Json(const Json&)>, Json>> cases = {
        {reencoded<Session>, withTools},
        {reencoded<Session>, minimalSession},
        {reencoded<Session>, semantic},
        {reencoded<Tool>, weatherTool},
        {reencoded<Tool>,
         Json::parse(R"({"type":"function","name":"n","description":"d","parameters":{"type":"object"}})")},
        {reencoded<ToolChoice>, "auto"},
        {reencoded<ToolChoice>, "none"},
        {reencoded<ToolChoice>, "required"},
        {reencoded<ToolChoice>, Json::parse(R"({"type":"function","function":{"name":""}})")},
        {reencoded<Item>, Json::parse(R"({"id":"m1","type":"message","status":"incomplete","role":"assistant",
             "content":[{"type":"text","text":"hi"},{"type":"input_text","text":"yo"},
               {"type":"audio","audio":"AQID","transcript":"hello"},
               {"type":"input_audio","audio":"","transcript":null}]})")},
        {reencoded<Item>,
         Json::parse(R"({"id":"m2","type":"message","status":"completed","role":"system","content":[]})")},
        {reencoded<Item>, Json::parse(R"({"id":"fc","type":"function_call","status":"in_progress","call_id":"call_1",
             "name":"f","arguments":"{}"})")},
        {reencoded<Item>,
         Json::parse(R"({"id":"fo","type":"function_call_output","call_id":"call_1","output":"42"})")},
        {reencoded<Response>, Json::parse(R"({"id":"resp_1","status":"incomplete","output":[]})")},
        {reencoded<Response>, Json::parse(R"({"id":"resp_1","status":"cancelled","output":[{"id":"fo",
             "type":"function_call_output","call_id":"c","output":"o"}],"metadata":{"Mixed_Case":"v","snake_key":"w"},
             "usage":{"total_tokens":10,"input_tokens":4,"output_tokens":6,"input_token_details":{"text_tokens":1,
               "audio_tokens":3,"cached_tokens":2,"cached_tokens_details":{"text_tokens":2,"audio_tokens":0}},
               "output_token_details":{"text_tokens":5,"audio_tokens":1}}})")},
        // The details of a usage may be left out, at either level.
        {reencoded<Response>, Json::parse(R"({"id":"resp_2","status":"completed","output":[],
             "usage":{"total_tokens":3,"input_tokens":1,"output_tokens":2}})")},
        {reencoded<Response>, Json::parse(R"({"id":"resp_3","status":"completed","output":[],
             "usage":{"total_tokens":3,"input_tokens":1,"output_tokens":2,"input_token_details":{"text_tokens":1,
               "audio_tokens":0,"cached_tokens":0}}})")},
        {reencoded<Response::Config>, Json::parse(R"({"modalities":["audio"],"instructions":"i","voice":"nova",
             "output_audio_format":"g711_ulaw","tools":[],"tool_choice":"required","temperature":1.0})")},
        {reencoded<Response::Config>, Json::parse(R"({"modalities":[],"instructions":"","voice":"alloy",
             "output_audio_format":"pcm16","tools":[],"tool_choice":"auto","temperature":0.5,
             "max_response_output_tokens":100,"conversation":"auto","metadata":{},"input":[)" +
                                                   userMessage.dump() + "]}")},
        {reencoded<ServerError>, Json::parse(R"({"type":"t","message":"m"})")},
        {reencoded<ServerError>, Json::parse(R"({"type":"t","code":"c","message":"m","param":"p","event_id":"e"})")},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& [reencode, json] = cases[i];
        EXPECT_EQ(reencode(json), json) << "case " << i;
    }
}

TEST(SessionCoding, ReceivedNullsAndOtherLimitKeyReadAsAbsent) {
    auto object = minimalSession;
    object["turn_detection"] = nullptr;
    object["input_audio_transcription"] = nullptr;
    object["input_audio_noise_reduction"] = nullptr;
    object["max_response_output_tokens"] = 4096;
    EXPECT_EQ(reencoded<Session>(object), minimalSession);
}

TEST(SessionCoding, FailuresOfRawTextsAndRequiredKeys) {
    auto with = [&](const std::string& key, const Json& value) {
        auto object = minimalSession;
        object[key] = value;
        return failureOf<Session>(object.dump());
    };
    // Raw texts match case-sensitively; a text that matches no case is kept as it came, not failed.
    for (const auto& [key, value] : std::vector<std::pair<std::string, Json>>{
             {"voice", "Alloy"},
             {"input_audio_format", "PCM16"},
             {"modalities", Json::parse(R"(["text","video"])")},
             {"turn_detection", Json::parse(R"({"type":"server_vad","create_response":true,"eagerness":"none"})")},
             {"input_audio_transcription", Json::parse(R"({"model":"whisper"})")},
             {"input_audio_noise_reduction", Json::parse(R"({"type":"nearField"})")}}) {
        auto object = minimalSession;
        object[key] = value;
        EXPECT_EQ(reencoded<Session>(object), object) << key;
        EXPECT_NE(decodeJson<Session>(object.dump()), decodeJson<Session>(minimalSession.dump())) << key;
    }
    std::vector<ExpectedFailure> cases = {
        {with("voice", 7), Kind::typeMismatch, {"voice"}},
        {with("modalities", Json::parse(R"(["text",1])")), Kind::typeMismatch, {"modalities", std::size_t{1}}},
        {with("temperature", "0.8"), Kind::typeMismatch, {"temperature"}},
        {with("turn_detection", Json::parse(R"({"threshold":0.5,"create_response":true})")), Kind::keyNotFound,
         {"turn_detection", "type"}},
    };
    for (const auto* key : {"model", "modalities", "instructions", "voice", "input_audio_format",
                            "output_audio_format", "tools", "tool_choice", "temperature"}) {
        auto missing = minimalSession;
        missing.erase(key);
        cases.push_back({failureOf<Session>(missing.dump()), Kind::keyNotFound, {key}});
        cases.push_back({with(key, nullptr), Kind::valueNotFound, {key}});
    }
    expectFailures(cases);
}

TEST(SessionCoding, TurnDetectionFactoriesAndTheDefaultOfCreateResponse) {
    using TurnDetection = Session::TurnDetection;
    const std::vector<std::pair<TurnDetection, Json>> written = {
        {TurnDetection::semanticVad(TurnDetection::TurnDetectionEagerness::auto_),
         {{"type", "semantic_vad"}, {"create_response", true}, {"eagerness", "auto"}}},
        {TurnDetection::semanticVad(TurnDetection::TurnDetectionEagerness::low),
         {{"type", "semantic_vad"}, {"create_response", true}, {"eagerness", "low"}}},
        {TurnDetection::serverVad(), {{"type", "server_vad"}, {"create_response", true}}},
        {TurnDetection::serverVad(0.5, std::nullopt, 300),
         {{"type", "server_vad"}, {"threshold", 0.5}, {"prefix_padding_ms", 300}, {"create_response", true}}},
        {TurnDetection::serverVad(std::nullopt, false, std::nullopt, 200),
         {{"type", "server_vad"}, {"interrupt_response", false}, {"silence_duration_ms", 200}, {"create_response", true}}},
    };
    for (const auto& [settings, json] : written) EXPECT_EQ(Json::parse(encodeJson(settings)), json) << json;

    // Absent (or null), "create_response" is the service's default, true.
    for (const auto& [text, createResponse] : std::vector<std::pair<std::string, bool>>{
             {R"({"type":"server_vad"})", true},
             {R"({"type":"server_vad","create_response":null})", true},
             {R"({"type":"semantic_vad","eagerness":"high","create_response":false})", false}}) {
        EXPECT_EQ(decodeJson<TurnDetection>(text).createResponse, createResponse) << text;
    }
}

TEST(ItemCoding, ContentEntries) {
    // Audio without bytes reads as empty and is written back with a null transcript; both are still
    // type-checked when present.
    for (const auto* text : {R"({"type":"audio"})", R"({"type":"audio","audio":null,"transcript":null})"}) {
        EXPECT_EQ(reencoded<Content>(Json::parse(text)),
                  Json::parse(R"({"type":"audio","audio":"","transcript":null})"))
            << text;
    }
    expectFailures({
        {failureOf<Content>(R"({"type":"image","image_url":"x"})"), Kind::dataCorrupted, {"type"},
         "Unknown content type: image"},
        {failureOf<Content>(R"({"type":"audio","transcript":7})"), Kind::typeMismatch, {"transcript"}},
        {failureOf<Content>(R"({"type":"audio","audio":7})"), Kind::typeMismatch, {"audio"}},
    });
}

}  // namespace
}  // namespace realtime::model_test
