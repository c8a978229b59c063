#pragma once
// JSON for the whole application: values are Boost.JSON's; texts are read and written here so that
// every reader treats numbers, depth and UTF-8 alike, and every writer produces the same text.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

namespace platform::json {

using Value = boost::json::value;
using Object = boost::json::object;
using Array = boost::json::array;

struct ReadOptions {
    // Deeper texts are refused. The parser and the destruction of a value both recurse once per
    // level, so the bound keeps hostile texts off the stack; callers that allow more keep the
    // value in storage that frees it all at once, and must still stay within the stack.
    std::size_t maxDepth = 512;
};

// Reads one whole JSON text; a leading UTF-8 byte order mark is skipped. Numbers are read exactly;
// one beyond the range of a double refuses the text ("number overflow parsing '1e400'") instead of
// becoming infinity. Strings must be valid UTF-8. Null on failure, with the reason in `error`.
std::optional<Value> read(std::string_view text, std::string* error = nullptr, const ReadOptions& options = {},
                          boost::json::storage_ptr storage = {});

// A string to write is not valid UTF-8.
class InvalidUtf8 : public std::runtime_error {
public:
    InvalidUtf8() : std::runtime_error("A text to encode is not valid UTF-8.") {}
};

struct WriteOptions {
    bool sortKeys = false;  // members in byte order of their keys instead of as inserted
    int indent = -1;        // spaces per level, one member per line; below zero: all on one line
};

// Writes a value. Strings escape only '"', '\\' and control characters; doubles take their shortest
// exact form ("0.8", "2.0", "1e+20"), non-finite ones are written as null. Throws InvalidUtf8.
std::string write(const Value& value, const WriteOptions& options = {});
void append(std::string& out, const Value& value, const WriteOptions& options = {});

// Pieces of the writer, for texts built by hand.
void appendString(std::string& out, std::string_view text);  // quoted; throws InvalidUtf8
void appendNumber(std::string& out, double number);

bool isValidUtf8(std::string_view text);

}  // namespace platform::json
