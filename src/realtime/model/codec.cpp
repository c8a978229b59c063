#include "realtime/model/codec.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "realtime/model/detail/json_coder.hpp"

namespace realtime {
namespace detail {

namespace {

using Kind = DecodingError::Kind;

constexpr int kMaxSchemaDepth = 64;
thread_local int schemaDepth = 0;

// Counts the nesting of schema records while one of them is being read.
class SchemaDepthGuard {
public:
    SchemaDepthGuard() {
        if (++schemaDepth > kMaxSchemaDepth) {
            --schemaDepth;
            throwCorrupted("The tool schema nests deeper than " + std::to_string(kMaxSchemaDepth) + " levels.");
        }
    }
    ~SchemaDepthGuard() { --schemaDepth; }
    SchemaDepthGuard(const SchemaDepthGuard&) = delete;
    SchemaDepthGuard& operator=(const SchemaDepthGuard&) = delete;
};

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isLower(char c) { return c >= 'a' && c <= 'z'; }
char toLower(char c) { return isUpper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
char toUpper(char c) { return isLower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string_view describeKind(const Json& value) {
    switch (value.kind()) {
        case boost::json::kind::null:
            return "null";
        case boost::json::kind::object:
            return "an object";
        case boost::json::kind::array:
            return "an array";
        case boost::json::kind::string:
            return "a string";
        case boost::json::kind::bool_:
            return "a boolean";
        case boost::json::kind::int64:
        case boost::json::kind::uint64:
        case boost::json::kind::double_:
            return "a number";
    }
    return "an unknown value";
}

void throwWrongKind(std::string_view expected, const Json& found) {
    if (found.is_null()) {
        throw DecodingError(Kind::valueNotFound, {},
                            "Expected " + std::string(expected) + " but found null instead.");
    }
    throw DecodingError(Kind::typeMismatch, {},
                        "Expected to decode " + std::string(expected) + " but found " +
                            std::string(describeKind(found)) + " instead.");
}

void throwCorrupted(std::string description) { throw DecodingError(Kind::dataCorrupted, {}, std::move(description)); }

std::string_view textOf(const Json& string) {
    const auto& text = string.get_string();
    return {text.data(), text.size()};
}

std::vector<const boost::json::key_value_pair*> sortedMembers(const JsonObject& object) {
    std::vector<const boost::json::key_value_pair*> members;
    members.reserve(object.size());
    for (const auto& member : object) members.push_back(&member);
    std::sort(members.begin(), members.end(), [](const auto* a, const auto* b) { return a->key() < b->key(); });
    return members;
}

const Json* findMember(const Json& object, std::string_view name, std::string_view key,
                       std::string_view& matchedKey) {
    const auto& members = object.get_object();
    if (auto it = members.find(key); it != members.end()) {
        matchedKey = it->key();
        return &it->value();
    }
    if (name != key) {
        if (auto it = members.find(name); it != members.end()) {
            matchedKey = it->key();
            return &it->value();
        }
    }
    // Other spellings that convert to the name ("EVENT_ID", "event__id"); of several, the first
    // in byte order.
    const Json* found = nullptr;
    for (const auto& member : members) {
        const std::string_view candidate = member.key();
        if (candidate.find('_') == std::string_view::npos || candidate == key) continue;
        if (found != nullptr && candidate >= matchedKey) continue;
        if (snakeToCamel(candidate) == name) {
            matchedKey = candidate;
            found = &member.value();
        }
    }
    return found;
}

std::string_view requireString(const Json& object, std::string_view key) {
    std::string_view matched;
    const Json* value = findMember(object, key, key, matched);
    if (value == nullptr) {
        throw DecodingError(Kind::keyNotFound, {std::string(key)},
                            "No value associated with key \"" + std::string(key) + "\".");
    }
    if (!value->is_string()) {
        try {
            throwWrongKind("a string", *value);
        } catch (DecodingError& error) {
            error.prependKey(std::string(matched));
            throw;
        }
    }
    return textOf(*value);
}

Json parseJson(std::string_view text, boost::json::storage_ptr storage) {
    // The parser recurses once per level, so a text from the network is bounded well below what
    // the stack holds (sanitizer builds included) and well above any real event; the value lives
    // in storage freed at once, and the schema records count their own, lower, levels.
    std::string reason;
    auto value = platform::json::read(text, &reason, {.maxDepth = 1024}, std::move(storage));
    // A number too large for a double ("1e400") fails here too.
    if (!value) throw DecodingError(Kind::dataCorrupted, {}, "The given data was not valid JSON: " + reason);
    return std::move(*value);
}

std::string dumpJson(const Json& value) {
    try {
        return platform::json::write(value, {.sortKeys = true});
    } catch (const platform::json::InvalidUtf8&) {
        throw EncodingError({}, "A text to encode is not valid UTF-8.");
    }
}

// --- scalars -------------------------------------------------------------------------------------

std::int64_t Coder<std::int64_t>::decode(const Json& value) {
    switch (value.kind()) {
        case boost::json::kind::int64:
            return value.get_int64();
        case boost::json::kind::uint64: {
            const auto number = value.get_uint64();
            if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throwCorrupted("Parsed JSON number <" + dumpJson(value) + "> does not fit in a 64-bit integer.");
            }
            return static_cast<std::int64_t>(number);
        }
        case boost::json::kind::double_: {
            const double number = value.get_double();
            // The range check is exact: -2^63 is representable, 2^63 is the first value beyond.
            if (!std::isfinite(number) || std::trunc(number) != number || number < -9223372036854775808.0 ||
                number >= 9223372036854775808.0) {
                throwCorrupted("Parsed JSON number <" + dumpJson(value) + "> does not fit in a 64-bit integer.");
            }
            return static_cast<std::int64_t>(number);
        }
        default:
            throwWrongKind("an integer", value);
    }
}

Json Coder<double>::encode(double value) {
    if (!std::isfinite(value)) throw EncodingError({}, "Unable to encode a number that is not finite.");
    return Json(value);
}

double Coder<double>::decode(const Json& value) {
    if (!value.is_number()) throwWrongKind("a number", value);
    const double number = value.to_number<double>();
    if (!std::isfinite(number)) throwCorrupted("Parsed JSON number is not finite.");
    return number;
}

Bytes Coder<Bytes>::decode(const Json& value) {
    if (!value.is_string()) throwWrongKind("a string", value);
    auto bytes = base64Decode(textOf(value));
    if (!bytes) throwCorrupted("Invalid base64-encoded audio data.");
    return std::move(*bytes);
}

// --- tool choice ---------------------------------------------------------------------------------

Json Coder<ToolChoice>::encode(const ToolChoice& choice) {
    switch (choice.kind()) {
        case ToolChoice::Kind::auto_:
            return "auto";
        case ToolChoice::Kind::none:
            return "none";
        case ToolChoice::Kind::required:
            return "required";
        case ToolChoice::Kind::unknown:
            return Json(boost::json::string_view(choice.unknownText().data(), choice.unknownText().size()));
        case ToolChoice::Kind::function:
            break;
    }
    JsonObject function;
    function["name"] = choice.functionName();
    JsonObject object;
    object["type"] = "function";
    object["function"] = std::move(function);
    return Json(std::move(object));
}

ToolChoice Coder<ToolChoice>::decode(const Json& value) {
    if (value.is_string()) {
        const std::string_view text = textOf(value);
        if (text == "none") return ToolChoice::none();
        if (text == "auto") return ToolChoice::auto_();
        if (text == "required") return ToolChoice::required();
        return ToolChoice::unknown(std::string(text));
    }
    // Not a string: read as {"type": ..., "function": {"name": ...}}; the outer "type" is not read.
    if (!value.is_object()) throwWrongKind("an object", value);
    std::string_view matched;
    const Json* function = findMember(value, "function", "function", matched);
    if (function == nullptr) {
        throw DecodingError(Kind::keyNotFound, {std::string("function")}, "No value associated with key \"function\".");
    }
    std::map<std::string, std::string> members;
    try {
        members = Coder<std::map<std::string, std::string>>::decode(*function);
    } catch (DecodingError& error) {
        error.prependKey(std::string(matched));
        throw;
    }
    auto name = members.find("name");
    if (name == members.end()) {
        throw DecodingError(Kind::dataCorrupted, {std::string(matched)}, "Missing function name.");
    }
    return ToolChoice::function(std::move(name->second));
}

// --- schema --------------------------------------------------------------------------------------

Tool::FunctionParameters::Property Coder<Tool::FunctionParameters::Property>::decode(const Json& value) {
    SchemaDepthGuard guard;
    return decodeRecord<Tool::FunctionParameters::Property>(value);
}

Tool::FunctionParameters::Property::Items Coder<Tool::FunctionParameters::Property::Items>::decode(
    const Json& value) {
    SchemaDepthGuard guard;
    return decodeRecord<Tool::FunctionParameters::Property::Items>(value);
}

// --- items ---------------------------------------------------------------------------------------

Json Coder<Item>::encode(const Item& item) {
    return std::visit([](const auto& record) { return encodeRecord(record); }, item.value);
}

Item Coder<Item>::decode(const Json& value) {
    if (!value.is_object()) throwWrongKind("an object", value);
    const std::string_view type = requireString(value, "type");
    if (type == "message") return Item(decodeRecord<Item::Message>(value));
    if (type == "function_call") return Item(decodeRecord<Item::FunctionCall>(value));
    if (type == "function_call_output") return Item(decodeRecord<Item::FunctionCallOutput>(value));
    throw UnknownValueError({std::string("type")}, "Unknown item type: " + reportedText(type), reportedText(type));
}

namespace {

constexpr std::array<std::string_view, 4> kContentTypes{"text", "audio", "input_text", "input_audio"};

}  // namespace

Json Coder<Item::Message::Content>::encode(const Item::Message::Content& content) {
    JsonObject object;
    object["type"] = kContentTypes[static_cast<std::size_t>(content.kind())];
    if (const Item::Audio* audio = content.audio()) {
        encodeFields(object, *audio);
    } else {
        object["text"] = *content.textValue();
    }
    return Json(std::move(object));
}

Item::Message::Content Coder<Item::Message::Content>::decode(const Json& value) {
    using Content = Item::Message::Content;
    if (!value.is_object()) throwWrongKind("an object", value);
    const std::string_view type = requireString(value, "type");
    if (type == "text") return Content::text(std::string(requireString(value, "text")));
    if (type == "input_text") return Content::input_text(std::string(requireString(value, "text")));
    if (type == "audio") return Content::audio(decodeRecord<Item::Audio>(value));
    if (type == "input_audio") return Content::input_audio(decodeRecord<Item::Audio>(value));
    throw UnknownValueError({std::string("type")}, "Unknown content type: " + reportedText(type), reportedText(type));
}

Item::ContentPart Coder<Item::ContentPart>::decode(const Json& value) {
    if (!value.is_object()) throwWrongKind("an object", value);
    const std::string_view type = requireString(value, "type");
    if (type == "text") return Item::ContentPart::text(std::string(requireString(value, "text")));
    if (type == "audio") return Item::ContentPart::audio(decodeRecord<Item::Audio>(value));
    throw UnknownValueError({std::string("type")}, "Unknown content type: " + reportedText(type), reportedText(type));
}

// --- server events -------------------------------------------------------------------------------

namespace {

using ServerEventDecoder = ServerEvent (*)(const Json&);

template <std::size_t I>
ServerEvent decodeServerEventCase(const Json& object) {
    constexpr auto kind = static_cast<ServerEvent::Kind>(I);
    return ServerEvent::make<kind>(decodeRecord<ServerEvent::PayloadOf<kind>>(object));
}

template <std::size_t... I>
constexpr auto makeServerEventDecoders(std::index_sequence<I...>) {
    return std::array<ServerEventDecoder, sizeof...(I)>{&decodeServerEventCase<I>...};
}

// One decoder per "type" text, in the order of the table of type texts.
constexpr auto kServerEventDecoders =
    makeServerEventDecoders(std::make_index_sequence<std::variant_size_v<ServerEvent::Payload>>{});
static_assert(kServerEventDecoders.size() == RawValues<ServerEvent::Kind>::texts.size());

}  // namespace

ServerEvent decodeServerEvent(const Json& object) {
    if (!object.is_object()) throwWrongKind("an object", object);
    const std::string_view type = requireString(object, "type");
    const auto kind = fromRawValue<ServerEvent::Kind>(type);
    if (!kind) throw UnknownEventTypeError(type);
    return kServerEventDecoders[static_cast<std::size_t>(*kind)](object);
}

}  // namespace detail

// --- public entry points -------------------------------------------------------------------------

namespace {

// The microphone's frame, written straight out: the same text the record coding writes (keys in
// byte order), without building a value around the audio's base64 text.
std::string encodeAppend(const ClientEvent::InputAudioBufferAppendEvent& event) {
    std::string frame;
    frame.reserve(event.audio.size() + (event.eventId ? event.eventId->size() : 0) + 64);
    try {
        frame += R"({"audio":)";
        platform::json::appendString(frame, event.audio);
        if (event.eventId) {
            frame += R"(,"event_id":)";
            platform::json::appendString(frame, *event.eventId);
        }
    } catch (const platform::json::InvalidUtf8&) {
        throw EncodingError({}, "A text to encode is not valid UTF-8.");
    }
    frame += R"(,"type":"input_audio_buffer.append"})";
    return frame;
}

}  // namespace

std::string encode(const ClientEvent& event) {
    if (const auto* append = std::get_if<ClientEvent::InputAudioBufferAppendEvent>(&event.payload)) {
        return encodeAppend(*append);
    }
    const auto object =
        std::visit([](const auto& payload) { return detail::encodeRecord(payload); }, event.payload);
    return detail::dumpJson(object);
}

ServerEvent decodeServerEvent(std::string_view json) {
    return detail::withParsedJson(json, [](const detail::Json& value) { return detail::decodeServerEvent(value); });
}

namespace {

// A printed line stays one line whatever a received text holds.
std::string oneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

}  // namespace

ReceivedServerEvent decodeReceivedServerEvent(std::string_view json) {
    try {
        return {decodeServerEvent(json), {}};
    } catch (const UnknownEventTypeError& error) {
        return {std::nullopt, oneLine("Unknown event type: " + error.type())};
    } catch (const UnknownValueError& error) {
        return {std::nullopt, oneLine(error.description.ends_with(error.text())
                                          ? error.description
                                          : error.description + " " + error.text())};
    }
}

template <class T>
std::string encodeJson(const T& value) {
    return detail::dumpJson(detail::Coder<T>::encode(value));
}

template <class T>
T decodeJson(std::string_view json) {
    return detail::withParsedJson(json, [](const detail::Json& value) { return detail::Coder<T>::decode(value); });
}

std::string camelToSnake(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 4);
    for (char c : name) {
        if (detail::isUpper(c)) {
            out += '_';
            out += detail::toLower(c);
        } else {
            out += c;
        }
    }
    return out;
}

std::string snakeToCamel(std::string_view key) {
    const auto first = key.find_first_not_of('_');
    if (first == std::string_view::npos) return std::string(key);
    const auto last = key.find_last_not_of('_');
    const std::string_view body = key.substr(first, last - first + 1);
    if (body.find('_') == std::string_view::npos) return std::string(key);

    std::string out(key.substr(0, first));
    bool firstWord = true;
    std::size_t start = 0;
    while (start <= body.size()) {
        auto end = body.find('_', start);
        if (end == std::string_view::npos) end = body.size();
        const std::string_view word = body.substr(start, end - start);
        for (std::size_t i = 0; i < word.size(); ++i) {
            out += (i == 0 && !firstWord) ? detail::toUpper(word[i]) : detail::toLower(word[i]);
        }
        if (!word.empty()) firstWord = false;
        start = end + 1;
    }
    out += key.substr(last + 1);
    return out;
}

#define KESTRO_CODED_RECORD(T)                       \
    template std::string encodeJson<T>(const T&); \
    template T decodeJson<T>(std::string_view);
#define KESTRO_DECODED_RECORD(T) template T decodeJson<T>(std::string_view);

KESTRO_CODED_RECORD(Session)
KESTRO_CODED_RECORD(Session::InputAudioTranscription)
KESTRO_CODED_RECORD(Session::InputAudioNoiseReduction)
KESTRO_CODED_RECORD(Session::TurnDetection)
KESTRO_CODED_RECORD(Tool)
KESTRO_CODED_RECORD(Tool::FunctionParameters)
KESTRO_CODED_RECORD(Tool::FunctionParameters::Property)
KESTRO_CODED_RECORD(Tool::FunctionParameters::Property::Items)
KESTRO_CODED_RECORD(ToolChoice)
KESTRO_CODED_RECORD(Item)
KESTRO_CODED_RECORD(Item::Message)
KESTRO_CODED_RECORD(Item::FunctionCall)
KESTRO_CODED_RECORD(Item::FunctionCallOutput)
KESTRO_CODED_RECORD(Item::Message::Content)
KESTRO_DECODED_RECORD(Item::Audio)
KESTRO_DECODED_RECORD(Item::ContentPart)
KESTRO_CODED_RECORD(Response)
KESTRO_CODED_RECORD(Response::Usage)
KESTRO_CODED_RECORD(Response::Usage::InputTokenDetails)
KESTRO_CODED_RECORD(Response::Usage::InputTokenDetails::CachedTokensDetails)
KESTRO_CODED_RECORD(Response::Usage::OutputTokenDetails)
KESTRO_CODED_RECORD(Response::Config)
KESTRO_CODED_RECORD(ServerError)
KESTRO_CODED_RECORD(ServerEvent::ConversationCreatedEvent::Conversation)
KESTRO_CODED_RECORD(ServerEvent::RateLimitsUpdatedEvent::RateLimit)

#undef KESTRO_CODED_RECORD
#undef KESTRO_DECODED_RECORD

}  // namespace realtime
