#include "app/transcript_collection.hpp"

namespace kestro {

namespace {

using Content = realtime::Item::Message::Content;

const std::string* nonEmptyTranscript(const Content& content) {
    const auto* audio = content.audio();
    return audio && audio->transcript && !audio->transcript->empty() ? &*audio->transcript : nullptr;
}

void collectAssistant(const realtime::Item::Message& message, std::vector<TranscriptEntry>& out,
                      std::chrono::system_clock::time_point now) {
    std::string text;
    bool hasAudio = false;
    for (const auto& content : message.content) {
        if (content.kind() == Content::Kind::text) {
            if (const auto* value = content.textValue(); value && !value->empty()) text = *value;
        } else if (content.kind() == Content::Kind::audio) {
            hasAudio = true;
            if (const auto* transcript = nonEmptyTranscript(content)) {
                if (!text.empty() && text.back() != ' ') text.push_back(' ');
                text += *transcript;
            }
        }
    }
    if (!text.empty()) out.push_back(TranscriptEntry{now, "assistant", std::move(text), hasAudio ? "audio" : "text"});
}

// Whether the message gave at least one entry.
bool collectUser(const realtime::Item::Message& message, std::vector<TranscriptEntry>& out,
                 std::chrono::system_clock::time_point now) {
    bool collected = false;
    for (const auto& content : message.content) {
        if (content.kind() != Content::Kind::input_audio) continue;
        if (const auto* transcript = nonEmptyTranscript(content)) {
            out.push_back(TranscriptEntry{now, "user", *transcript, "audio"});
            collected = true;
        }
    }
    return collected;
}

}  // namespace

void updateTranscript(const std::vector<realtime::Item>& items, std::set<std::string>& processedIds,
                      std::vector<TranscriptEntry>& out, std::chrono::system_clock::time_point now) {
    for (const auto& item : items) {
        const auto* message = std::get_if<realtime::Item::Message>(&item.value);
        if (!message || message->status != realtime::Item::ItemStatus::completed) continue;
        if (processedIds.contains(message->id)) continue;
        // A role this client does not know is collected no more than the system's.
        const auto role = message->role.known();
        if (!role) continue;
        switch (*role) {
            case realtime::Item::ItemRole::system:
                break;
            case realtime::Item::ItemRole::assistant:
                collectAssistant(*message, out, now);
                processedIds.insert(message->id);
                break;
            case realtime::Item::ItemRole::user:
                if (collectUser(*message, out, now)) processedIds.insert(message->id);
                break;
        }
    }
}

}  // namespace kestro
