#include "app/transcript_entry.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <ctime>

#include "platform/json/json.hpp"

namespace kestro {

namespace chr = std::chrono;

std::string iso8601(chr::system_clock::time_point time) {
    auto seconds = chr::floor<chr::seconds>(time);
    chr::sys_days day = chr::floor<chr::days>(seconds);
    chr::year_month_day date{day};
    chr::hh_mm_ss clock{seconds - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

chr::system_clock::time_point parseISO8601(std::string_view text) {
    int year, month, day, hour, minute, second;
    char zone = 0;
    int consumed = 0;
    std::string copy(text);
    if (text.size() != 20 ||
        std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &year, &month, &day, &hour, &minute, &second, &zone,
                    &consumed) != 7 ||
        consumed != 20 || zone != 'Z') {
        throw TranscriptDecodingError("expected an ISO 8601 date: " + copy);
    }
    chr::year_month_day date{chr::year{year}, chr::month{static_cast<unsigned>(month)}, chr::day{static_cast<unsigned>(day)}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59 || hour < 0 || minute < 0 || second < 0) {
        throw TranscriptDecodingError("expected an ISO 8601 date: " + copy);
    }
    return chr::sys_days{date} + chr::hours{hour} + chr::minutes{minute} + chr::seconds{second};
}

std::string transcriptIdempotencyKey(std::string_view body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(body.data(), body.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string key;
    key.reserve(size * 2);
    for (unsigned int i = 0; i < size; ++i) {
        key.push_back(hex[digest[i] >> 4]);
        key.push_back(hex[digest[i] & 0xf]);
    }
    return key;
}

std::string encodeTranscriptPayload(const TranscriptPayload& payload) {
    platform::json::Array entries;
    entries.reserve(payload.entries.size());
    for (auto& entry : payload.entries) {
        entries.push_back(platform::json::Object{{"timestamp", iso8601(entry.timestamp)},
                                                 {"role", entry.role},
                                                 {"content", entry.content},
                                                 {"type", entry.type}});
    }
    return platform::json::write(platform::json::Object{{"entries", std::move(entries)}}, {.indent = 2});
}

namespace {

std::string requiredString(const platform::json::Object& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw TranscriptDecodingError(std::string("key not found: ") + key);
    if (!found->value().is_string()) throw TranscriptDecodingError(std::string("expected a string: ") + key);
    return std::string(found->value().get_string());
}

}  // namespace

TranscriptPayload decodeTranscriptPayload(std::string_view text) {
    auto parsed = platform::json::read(text);
    if (!parsed || !parsed->is_object()) throw TranscriptDecodingError("expected a JSON object");
    auto entries = parsed->get_object().find("entries");
    if (entries == parsed->get_object().end() || !entries->value().is_array()) {
        throw TranscriptDecodingError("key not found: entries");
    }
    TranscriptPayload payload;
    for (auto& element : entries->value().get_array()) {
        if (!element.is_object()) throw TranscriptDecodingError("expected a JSON object in entries");
        const auto& entry = element.get_object();
        payload.entries.push_back(TranscriptEntry{parseISO8601(requiredString(entry, "timestamp")),
                                                  requiredString(entry, "role"), requiredString(entry, "content"),
                                                  requiredString(entry, "type")});
    }
    return payload;
}

}  // namespace kestro
