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

DecodingError::DecodingError(Kind kind, CodingPath codingPath, std::string description)
    : std::runtime_error(description),
      kind(kind),
      codingPath(std::move(codingPath)),
      description(std::move(description)) {}

void DecodingError::prependKey(CodingKey key) { codingPath.insert(codingPath.begin(), std::move(key)); }

UnknownValueError::UnknownValueError(CodingPath codingPath, std::string description, std::string text)
    : DecodingError(Kind::dataCorrupted, std::move(codingPath), std::move(description)), text_(std::move(text)) {}

UnknownEventTypeError::UnknownEventTypeError(std::string type)
    : DecodingError(Kind::dataCorrupted, {std::string("type")}, "Unknown event type: " + type), type_(std::move(type)) {}

EncodingError::EncodingError(CodingPath codingPath, std::string description)
    : std::runtime_error(description), codingPath(std::move(codingPath)), description(std::move(description)) {}

void EncodingError::prependKey(CodingKey key) { codingPath.insert(codingPath.begin(), std::move(key)); }

}  // namespace realtime
