#pragma once
// The transcript of a call as it is uploaded: {"entries": [{timestamp, role, content, type}, ...]}.

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {

struct TranscriptEntry {
    std::chrono::system_clock::time_point timestamp;
    std::string role;     // "user" or "assistant"
    std::string content;
    std::string type;     // "audio" or "text"

    bool operator==(const TranscriptEntry&) const = default;
};

struct TranscriptPayload {
    std::vector<TranscriptEntry> entries;

    bool operator==(const TranscriptPayload&) const = default;
};

class TranscriptDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "2026-12-09T04:40:52Z": UTC, whole seconds.
std::string iso8601(std::chrono::system_clock::time_point time);
// Reads the form iso8601() writes; throws TranscriptDecodingError otherwise.
std::chrono::system_clock::time_point parseISO8601(std::string_view text);

// Indented, one key per line, keys in field order.
std::string encodeTranscriptPayload(const TranscriptPayload& payload);

// The idempotency key of the upload of `body`: the SHA-256 of the body in lower-case hex. Every
// attempt at one transcript sends the same body (the outbox keeps it byte for byte), so every
// retry carries the same key, also after a restart, and different transcripts get different ones.
std::string transcriptIdempotencyKey(std::string_view body);
// Every key of every entry is required; throws TranscriptDecodingError.
TranscriptPayload decodeTranscriptPayload(std::string_view json);

}  // namespace kestro
