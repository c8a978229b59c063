#pragma once
// Failures of reading a received JSON text into the model's records.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace realtime {

// One step from the top object to the failing value: an object key or an array index.
using CodingKey = std::variant<std::string, std::size_t>;
using CodingPath = std::vector<CodingKey>;

// "a.b[2].c" style rendering of a path, for messages and logs.
std::string describePath(const CodingPath& path);

// A received text as errors keep and report it: whole when short, otherwise its first
// kMaxReportedTextBytes bytes (never splitting a UTF-8 character) followed by "...". A text comes
// from the network and may be megabytes long.
inline constexpr std::size_t kMaxReportedTextBytes = 100;
std::string reportedText(std::string_view text);

class DecodingError : public std::runtime_error {
public:
    enum class Kind {
        keyNotFound,    // a required key is missing
        valueNotFound,  // a required value is null
        typeMismatch,   // a value is of the wrong JSON kind
        dataCorrupted,  // a value of the right kind that is not acceptable, or text that is not JSON
    };

    DecodingError(Kind kind, CodingPath codingPath, std::string description);

    Kind kind;
    CodingPath codingPath;
    std::string description;

    // Prefixes the path with the key of the container the failing value was read from.
    void prependKey(CodingKey key);
};

// The failing value names a kind of item or content that this model does not know (closed sets of
// plain words never fail: records keep their unknown texts, see OpenEnum). The kinds carry fields of
// their own, so an unknown one cannot be kept. The service adds such kinds over time; a receiver
// may skip the event that carries one. The text is kept as reportedText gives it.
class UnknownValueError : public DecodingError {
public:
    UnknownValueError(CodingPath codingPath, std::string description, std::string text);

    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// The message names an event type that this model does not know. A receiver may skip such events.
// The type is kept as reportedText gives it.
class UnknownEventTypeError : public DecodingError {
public:
    explicit UnknownEventTypeError(std::string_view type);

    const std::string& type() const { return type_; }

private:
    std::string type_;
};

// A value has no JSON form (a number that is not finite).
class EncodingError : public std::runtime_error {
public:
    EncodingError(CodingPath codingPath, std::string description);

    CodingPath codingPath;
    std::string description;

    void prependKey(CodingKey key);
};

}  // namespace realtime
