#include "platform/json/json.hpp"

// The library's compiled part, once for the whole application.
#include <boost/json/src.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace platform::json {

namespace {

using boost::json::error_code;
using boost::json::string_view;

// Builds the value as the library's own parser does, but reads every double again exactly from its
// text (the library's fast conversion may be one unit in the last place off) and refuses numbers
// too large for a double.
struct Builder {
    static constexpr std::size_t max_object_size = boost::json::object::max_size();
    static constexpr std::size_t max_array_size = boost::json::array::max_size();
    static constexpr std::size_t max_key_size = boost::json::string::max_size();
    static constexpr std::size_t max_string_size = boost::json::string::max_size();

    explicit Builder(boost::json::storage_ptr storage) : stack(std::move(storage)) {}

    boost::json::value_stack stack;
    std::string number;    // the earlier pieces of a number split between reads
    std::string overflow;  // the text of a number beyond the range of a double

    bool on_document_begin(error_code&) { return true; }
    bool on_document_end(error_code&) { return true; }
    bool on_object_begin(error_code&) { return true; }
    bool on_object_end(std::size_t n, error_code&) {
        stack.push_object(n);
        return true;
    }
    bool on_array_begin(error_code&) { return true; }
    bool on_array_end(std::size_t n, error_code&) {
        stack.push_array(n);
        return true;
    }
    bool on_key_part(string_view s, std::size_t, error_code&) {
        stack.push_chars(s);
        return true;
    }
    bool on_key(string_view s, std::size_t, error_code&) {
        stack.push_key(s);
        return true;
    }
    bool on_string_part(string_view s, std::size_t, error_code&) {
        stack.push_chars(s);
        return true;
    }
    bool on_string(string_view s, std::size_t, error_code&) {
        stack.push_string(s);
        return true;
    }
    bool on_number_part(string_view s, error_code&) {
        number.append(s.data(), s.size());
        return true;
    }
    bool on_int64(std::int64_t i, string_view, error_code&) {
        number.clear();
        stack.push_int64(i);
        return true;
    }
    bool on_uint64(std::uint64_t u, string_view, error_code&) {
        number.clear();
        stack.push_uint64(u);
        return true;
    }
    bool on_double(double d, string_view s, error_code& ec) {
        std::string_view text(s.data(), s.size());
        if (!number.empty()) {
            number.append(s.data(), s.size());
            text = number;
        }
        double exact = 0;
        const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), exact);
        if (status == std::errc() && end == text.data() + text.size()) {
            d = exact;
        } else if (status == std::errc::result_out_of_range && !(std::isfinite(d) && std::fabs(d) < 1)) {
            d = HUGE_VAL;  // too large; a number too small reads as the library rounded it
        }
        if (!std::isfinite(d)) {
            overflow.assign(text);
            ec = boost::json::error::exponent_overflow;
            return false;
        }
        number.clear();
        stack.push_double(d);
        return true;
    }
    bool on_bool(bool b, error_code&) {
        stack.push_bool(b);
        return true;
    }
    bool on_null(error_code&) {
        stack.push_null();
        return true;
    }
    bool on_comment_part(string_view, error_code&) { return true; }
    bool on_comment(string_view, error_code&) { return true; }
};

void appendIndent(std::string& out, int indent, int level) {
    out += '\n';
    out.append(static_cast<std::size_t>(indent) * static_cast<std::size_t>(level), ' ');
}

void appendValue(std::string& out, const Value& value, const WriteOptions& options, int level);

void appendObject(std::string& out, const Object& object, const WriteOptions& options, int level) {
    if (object.empty()) {
        out += "{}";
        return;
    }
    std::vector<const boost::json::key_value_pair*> members;
    members.reserve(object.size());
    for (const auto& member : object) members.push_back(&member);
    if (options.sortKeys) {
        std::sort(members.begin(), members.end(), [](const auto* a, const auto* b) { return a->key() < b->key(); });
    }
    out += '{';
    bool first = true;
    for (const auto* member : members) {
        if (!first) out += ',';
        first = false;
        if (options.indent >= 0) appendIndent(out, options.indent, level + 1);
        appendString(out, std::string_view(member->key().data(), member->key().size()));
        out += options.indent >= 0 ? ": " : ":";
        appendValue(out, member->value(), options, level + 1);
    }
    if (options.indent >= 0) appendIndent(out, options.indent, level);
    out += '}';
}

void appendArray(std::string& out, const Array& array, const WriteOptions& options, int level) {
    if (array.empty()) {
        out += "[]";
        return;
    }
    out += '[';
    bool first = true;
    for (const auto& element : array) {
        if (!first) out += ',';
        first = false;
        if (options.indent >= 0) appendIndent(out, options.indent, level + 1);
        appendValue(out, element, options, level + 1);
    }
    if (options.indent >= 0) appendIndent(out, options.indent, level);
    out += ']';
}

template <class Integer>
void appendInteger(std::string& out, Integer number) {
    std::array<char, 24> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), number);
    out.append(digits.data(), result.ptr);
}

void appendValue(std::string& out, const Value& value, const WriteOptions& options, int level) {
    switch (value.kind()) {
        case boost::json::kind::null:
            out += "null";
            return;
        case boost::json::kind::bool_:
            out += value.get_bool() ? "true" : "false";
            return;
        case boost::json::kind::int64:
            appendInteger(out, value.get_int64());
            return;
        case boost::json::kind::uint64:
            appendInteger(out, value.get_uint64());
            return;
        case boost::json::kind::double_:
            appendNumber(out, value.get_double());
            return;
        case boost::json::kind::string:
            appendString(out, std::string_view(value.get_string().data(), value.get_string().size()));
            return;
        case boost::json::kind::array:
            appendArray(out, value.get_array(), options, level);
            return;
        case boost::json::kind::object:
            appendObject(out, value.get_object(), options, level);
            return;
    }
}

// Length of the valid UTF-8 sequence at `p` (at most `left` bytes), 0 when it is not one.
std::size_t sequenceLength(const unsigned char* p, std::size_t left) {
    const unsigned char lead = p[0];
    auto continuation = [&](std::size_t i) { return i < left && (p[i] & 0xC0) == 0x80; };
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) return 0;
        if (lead == 0xE0 && p[1] < 0xA0) return 0;   // overlong
        if (lead == 0xED && p[1] >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
        if (lead == 0xF0 && p[1] < 0x90) return 0;   // overlong
        if (lead == 0xF4 && p[1] >= 0x90) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

}  // namespace

std::optional<Value> read(std::string_view text, std::string* error, const ReadOptions& options,
                          boost::json::storage_ptr storage) {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    boost::json::parse_options parseOptions;
    parseOptions.max_depth = options.maxDepth;
    boost::json::basic_parser<Builder> parser(parseOptions, std::move(storage));
    error_code ec;
    const auto used = parser.write_some(false, text.data(), text.size(), ec);
    if (!ec && used < text.size()) ec = boost::json::error::extra_data;
    if (ec) {
        if (error != nullptr) {
            *error = parser.handler().overflow.empty() ? ec.message()
                                                       : "number overflow parsing '" + parser.handler().overflow + "'";
        }
        return std::nullopt;
    }
    return parser.handler().stack.release();
}

std::string write(const Value& value, const WriteOptions& options) {
    std::string out;
    appendValue(out, value, options, 0);
    return out;
}

void append(std::string& out, const Value& value, const WriteOptions& options) { appendValue(out, value, options, 0); }

bool isValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    while (left > 0) {
        if (*p < 0x80) {
            ++p;
            --left;
            continue;
        }
        const auto length = sequenceLength(p, left);
        if (length == 0) return false;
        p += length;
        left -= length;
    }
    return true;
}

void appendString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        // The run of bytes that are written as they are.
        const auto* run = p;
        while (p < end && *p < 0x80 && !needsEscape(*p)) ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (p == end) break;
        if (*p >= 0x80) {
            const auto length = sequenceLength(p, static_cast<std::size_t>(end - p));
            if (length == 0) throw InvalidUtf8();
            out.append(reinterpret_cast<const char*>(p), length);
            p += length;
            continue;
        }
        switch (*p) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += kHex[*p >> 4];
                out += kHex[*p & 15];
        }
        ++p;
    }
    out += '"';
}

void appendNumber(std::string& out, double number) {
    if (!std::isfinite(number)) {
        out += "null";
        return;
    }
    if (number == 0) {
        out += std::signbit(number) ? "-0.0" : "0.0";
        return;
    }
    // The shortest digits that read back exactly, as d.ddde±x.
    std::array<char, 32> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number, std::chars_format::scientific);
    std::string_view text(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
    if (text.front() == '-') {
        out += '-';
        text.remove_prefix(1);
    }
    const auto e = text.find('e');
    std::string digits;
    digits += text[0];
    if (e > 1) digits.append(text.substr(2, e - 2));
    int exponent = 0;
    const auto exponentText = text.substr(e + 1);
    std::from_chars(exponentText.data() + (exponentText.front() == '+' ? 1 : 0),
                    exponentText.data() + exponentText.size(), exponent);
    // Place the decimal point: plain notation for 1e-5 < |x| < 1e15, else an exponent.
    const int k = static_cast<int>(digits.size());
    const int n = exponent + 1;  // digits before the point
    if (k <= n && n <= 15) {
        out += digits;
        out.append(static_cast<std::size_t>(n - k), '0');
        out += ".0";
    } else if (0 < n && n <= 15) {
        out.append(digits, 0, static_cast<std::size_t>(n));
        out += '.';
        out.append(digits, static_cast<std::size_t>(n));
    } else if (-4 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += digits;
    } else {
        out += digits[0];
        if (k > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        const int shown = n - 1;
        out += shown < 0 ? '-' : '+';
        const int magnitude = shown < 0 ? -shown : shown;
        if (magnitude < 10) out += '0';
        appendInteger(out, magnitude);
    }
}

}  // namespace platform::json
