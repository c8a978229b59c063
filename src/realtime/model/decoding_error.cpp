#include "realtime/model/decoding_error.hpp"

namespace realtime {

std::string describePath(const CodingPath& path) {
    std::string out;
    for (const auto& key : path) {
        if (const auto* name = std::get_if<std::string>(&key)) {
            if (!out.empty()) out += '.';
            out += *name;
        } else {
            out += '[' + std::to_string(std::get<std::size_t>(key)) + ']';
        }
    }
    return out;
}

std::string reportedText(std::string_view text) {
    if (text.size() <= kMaxReportedTextBytes) return std::string(text);
    std::size_t end = kMaxReportedTextBytes;
    // Back to the first byte of the character the cut would split (continuation bytes are 10xxxxxx).
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return std::string(text.substr(0, end)) + "...";
}

DecodingError::DecodingError(Kind kind, CodingPath codingPath, std::string description)
    : std::runtime_error(description),
      kind(kind),
      codingPath(std::move(codingPath)),
      description(std::move(description)) {}

void DecodingError::prependKey(CodingKey key) { codingPath.insert(codingPath.begin(), std::move(key)); }

UnknownValueError::UnknownValueError(CodingPath codingPath, std::string description, std::string text)
    : DecodingError(Kind::dataCorrupted, std::move(codingPath), std::move(description)), text_(std::move(text)) {}

UnknownEventTypeError::UnknownEventTypeError(std::string_view type)
    : DecodingError(Kind::dataCorrupted, {std::string("type")}, "Unknown event type: " + reportedText(type)),
      type_(reportedText(type)) {}

EncodingError::EncodingError(CodingPath codingPath, std::string description)
    : std::runtime_error(description), codingPath(std::move(codingPath)), description(std::move(description)) {}

void EncodingError::prependKey(CodingKey key) { codingPath.insert(codingPath.begin(), std::move(key)); }

}  // namespace realtime
