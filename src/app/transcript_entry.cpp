#include "app/transcript_entry.hpp"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace kestro {

using json = nlohmann::ordered_json;
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

std::string encodeTranscriptPayload(const TranscriptPayload& payload) {
    json entries = json::array();
    for (auto& entry : payload.entries) {
        entries.push_back(json{{"timestamp", iso8601(entry.timestamp)},
                               {"role", entry.role},
                               {"content", entry.content},
                               {"type", entry.type}});
    }
    return json{{"entries", std::move(entries)}}.dump(2);
}

namespace {

std::string requiredString(const json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) throw TranscriptDecodingError(std::string("key not found: ") + key);
    if (!found->is_string()) throw TranscriptDecodingError(std::string("expected a string: ") + key);
    return found->get<std::string>();
}

}  // namespace

TranscriptPayload decodeTranscriptPayload(std::string_view text) {
    json parsed = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) throw TranscriptDecodingError("expected a JSON object");
    auto entries = parsed.find("entries");
    if (entries == parsed.end() || !entries->is_array()) throw TranscriptDecodingError("key not found: entries");
    TranscriptPayload payload;
    for (auto& entry : *entries) {
        if (!entry.is_object()) throw TranscriptDecodingError("expected a JSON object in entries");
        payload.entries.push_back(TranscriptEntry{parseISO8601(requiredString(entry, "timestamp")),
                                                  requiredString(entry, "role"), requiredString(entry, "content"),
                                                  requiredString(entry, "type")});
    }
    return payload;
}

}  // namespace kestro
