#pragma once
// Server events as the realtime service sends them, for scripting the loopback realtime server.

#include "support/json.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace support {

// An event of `type` with `fields` and an event id unique within the test process.
Json serverEvent(const std::string& type, Json fields = Json::object());

// The session the service reports for a call, with or without whisper-1 transcription switched on.
Json realtimeSession(bool transcribing);

// One spoken answer of the assistant: one response with one message item whose only content part
// is audio.
struct SpokenAnswer {
    std::string responseId = "resp_answer";
    std::string itemId = "item_answer";
    // The item the answer follows in the conversation; empty: none.
    std::string previousItemId;
    std::string transcript = "Here is the answer.";
    // Wire audio: 16-bit little-endian mono PCM at 24 kHz.
    std::vector<std::uint8_t> audio;
    // The audio each "response.audio.delta" carries (the last one may carry less).
    std::chrono::milliseconds deltaDuration{100};

    // `duration` of a 440 Hz tone at a quarter of full scale, as wire audio.
    static std::vector<std::uint8_t> tone(std::chrono::milliseconds duration);
    // An answer of `duration` of that tone, the other fields as above.
    static SpokenAnswer lasting(std::chrono::milliseconds duration, std::string transcript = "Here is the answer.");
};

// The events of a spoken answer in the order the service sends them.
struct SpokenAnswerEvents {
    // "response.created", "response.output_item.added", "conversation.item.created",
    // "response.content_part.added".
    std::vector<Json> opening;
    // One "response.audio.delta" per deltaDuration of audio, each preceded by the
    // "response.audio_transcript.delta" of the words it speaks (when a word starts there).
    struct Delta {
        std::vector<Json> transcript;
        Json audio;
    };
    std::vector<Delta> deltas;
    // "response.audio.done", "response.audio_transcript.done", "response.content_part.done" (its part
    // carries the transcript and no audio), "response.output_item.done", "response.done".
    std::vector<Json> closing;
};
SpokenAnswerEvents spokenAnswerEvents(const SpokenAnswer& answer);

}  // namespace support
