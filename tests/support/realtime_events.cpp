#include "support/realtime_events.hpp"

#include <atomic>

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

}  // namespace support
