#include "support/realtime_events.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <sstream>

#include "realtime/model/base64.hpp"

namespace support {

using json = Json;

json serverEvent(const std::string& type, json fields) {
    static std::atomic<int> next{0};
    fields["type"] = type;
    fields["event_id"] = "event_" + std::to_string(++next);
    return fields;
}

json realtimeSession(bool transcribing) {
    json session = {{"id", "sess_1"},
                    {"object", "realtime.session"},
                    {"model", "gpt-4o-realtime-preview"},
                    {"modalities", {"text", "audio"}},
                    {"instructions", "Be brief."},
                    {"voice", "alloy"},
                    {"input_audio_format", "pcm16"},
                    {"output_audio_format", "pcm16"},
                    {"turn_detection", {{"type", "server_vad"}, {"create_response", true}}},
                    {"tools", json::array()},
                    {"tool_choice", "auto"},
                    {"temperature", 0.8}};
    session["input_audio_transcription"] = transcribing ? json{{"model", "whisper-1"}} : json(nullptr);
    return session;
}

std::vector<std::uint8_t> SpokenAnswer::tone(std::chrono::milliseconds duration) {
    const auto frames = static_cast<std::size_t>(duration.count()) * 24;
    std::vector<std::uint8_t> audio(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const double value = 0.25 * std::sin(2 * std::numbers::pi * 440.0 * double(i) / 24000.0);
        const auto sample = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(value * 32767)));
        audio[2 * i] = static_cast<std::uint8_t>(sample & 0xff);
        audio[2 * i + 1] = static_cast<std::uint8_t>(sample >> 8);
    }
    return audio;
}

SpokenAnswer SpokenAnswer::lasting(std::chrono::milliseconds duration, std::string transcript) {
    SpokenAnswer answer;
    answer.transcript = std::move(transcript);
    answer.audio = tone(duration);
    return answer;
}

namespace {

std::vector<std::string> wordsOf(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) words.push_back((words.empty() ? "" : " ") + word);
    return words;
}

}  // namespace

SpokenAnswerEvents spokenAnswerEvents(const SpokenAnswer& answer) {
    SpokenAnswerEvents events;
    const json previous = answer.previousItemId.empty() ? json(nullptr) : json(answer.previousItemId);
    auto item = [&](const char* status, json content) {
        return json{{"id", answer.itemId},   {"object", "realtime.item"}, {"type", "message"},
                    {"status", status},      {"role", "assistant"},       {"content", std::move(content)}};
    };
    auto response = [&](const char* status, json output) {
        json fields = {{"id", answer.responseId}, {"object", "realtime.response"}, {"status", status},
                       {"status_details", nullptr}, {"output", std::move(output)}};
        fields["usage"] = status == std::string("completed")
                              ? json{{"total_tokens", 420}, {"input_tokens", 120}, {"output_tokens", 300},
                                     {"input_token_details", {{"cached_tokens", 0}, {"text_tokens", 100}, {"audio_tokens", 20}}},
                                     {"output_token_details", {{"text_tokens", 60}, {"audio_tokens", 240}}}}
                              : json(nullptr);
        return fields;
    };
    auto part = [&](json fields) {
        fields["response_id"] = answer.responseId;
        fields["item_id"] = answer.itemId;
        fields["output_index"] = 0;
        fields["content_index"] = 0;
        return fields;
    };

    events.opening.push_back(serverEvent("response.created", {{"response", response("in_progress", json::array())}}));
    events.opening.push_back(serverEvent(
        "response.output_item.added",
        {{"response_id", answer.responseId}, {"output_index", 0}, {"item", item("in_progress", json::array())}}));
    events.opening.push_back(
        serverEvent("conversation.item.created", {{"previous_item_id", previous}, {"item", item("in_progress", json::array())}}));
    events.opening.push_back(
        serverEvent("response.content_part.added", part({{"part", {{"type", "audio"}, {"transcript", ""}}}})));

    const std::size_t deltaBytes =
        std::max<std::size_t>(2, static_cast<std::size_t>(answer.deltaDuration.count()) * 24 * 2);
    const std::size_t count = (answer.audio.size() + deltaBytes - 1) / deltaBytes;
    const auto words = wordsOf(answer.transcript);
    std::size_t nextWord = 0;
    for (std::size_t i = 0; i < count; ++i) {
        SpokenAnswerEvents::Delta delta;
        // The words spread evenly over the audio.
        while (nextWord < words.size() && nextWord * count <= i * words.size()) {
            delta.transcript.push_back(serverEvent("response.audio_transcript.delta", part({{"delta", words[nextWord++]}})));
        }
        const auto begin = answer.audio.begin() + static_cast<std::ptrdiff_t>(i * deltaBytes);
        const auto end = answer.audio.begin() + static_cast<std::ptrdiff_t>(std::min(answer.audio.size(), (i + 1) * deltaBytes));
        delta.audio = serverEvent("response.audio.delta", part({{"delta", realtime::base64Encode(realtime::Bytes(begin, end))}}));
        events.deltas.push_back(std::move(delta));
    }

    const json donePart = {{"type", "audio"}, {"transcript", answer.transcript}};
    events.closing.push_back(serverEvent("response.audio.done", part(json::object())));
    events.closing.push_back(serverEvent("response.audio_transcript.done", part({{"transcript", answer.transcript}})));
    events.closing.push_back(serverEvent("response.content_part.done", part({{"part", donePart}})));
    events.closing.push_back(serverEvent(
        "response.output_item.done", {{"response_id", answer.responseId}, {"output_index", 0}, {"item", item("completed", {donePart})}}));
    events.closing.push_back(serverEvent("response.done", {{"response", response("completed", {item("completed", {donePart})})}}));
    return events;
}

}  // namespace support
