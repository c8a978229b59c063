#pragma once
// The record codec's machinery, for the codec's own .cpp files only: the JSON library stays out of
// the record headers. Coder<T> writes a T into a JSON value and reads one back; records are walked
// through their field list. Errors are thrown without a path and gain their keys while unwinding.

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include <boost/json/monotonic_resource.hpp>

#include "platform/json/json.hpp"

#include "realtime/model/base64.hpp"
#include "realtime/model/decoding_error.hpp"
#include "realtime/model/fields.hpp"
#include "realtime/model/item.hpp"
#include "realtime/model/raw_value.hpp"
#include "realtime/model/tool.hpp"

namespace realtime::detail {

using Json = boost::json::value;
using JsonObject = boost::json::object;
using JsonArray = boost::json::array;

template <class T>
struct Coder;

template <class T>
concept Record = requires { T::fields(); };

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// "a string", "a number", ... for messages.
std::string_view describeKind(const Json& value);

// A value of the wrong kind: null reads as a missing value, anything else as a type mismatch.
[[noreturn]] void throwWrongKind(std::string_view expected, const Json& found);
[[noreturn]] void throwCorrupted(std::string description);

// The member of `object` that fills the field with the given camel-case name and snake-case key:
// the exact key first, then the camel-case spelling, then any key that converts to the name.
// Sets `matchedKey` to the key as received. Null when no member matches.
const Json* findMember(const Json& object, std::string_view name, std::string_view key,
                       std::string_view& matchedKey);

std::vector<const boost::json::key_value_pair*> sortedMembers(const JsonObject& object);

// Reads a member that must be a string; path errors name the key.
std::string_view requireString(const Json& object, std::string_view key);

std::string_view textOf(const Json& string);

// Reads `text` into storage freed at once when `use` returns (texts nest without bound; freeing a
// deep value piece by piece would recurse) and returns what `use` makes of the value.
Json parseJson(std::string_view text, boost::json::storage_ptr storage);
template <class Use>
auto withParsedJson(std::string_view text, Use&& use) {
    boost::json::monotonic_resource resource;
    const Json value = parseJson(text, &resource);
    return use(value);
}
std::string dumpJson(const Json& value);

// --- scalars -------------------------------------------------------------------------------------

template <>
struct Coder<std::string> {
    static Json encode(const std::string& value) { return Json(boost::json::string_view(value.data(), value.size())); }
    static std::string decode(const Json& value) {
        if (!value.is_string()) throwWrongKind("a string", value);
        return std::string(textOf(value));
    }
};

template <>
struct Coder<bool> {
    static Json encode(bool value) { return value; }
    static bool decode(const Json& value) {
        if (!value.is_bool()) throwWrongKind("a boolean", value);
        return value.get_bool();
    }
};

template <>
struct Coder<std::int64_t> {
    static Json encode(std::int64_t value) { return value; }
    static std::int64_t decode(const Json& value);
};

template <>
struct Coder<double> {
    static Json encode(double value);
    static double decode(const Json& value);
};

template <>
struct Coder<Bytes> {
    static Json encode(const Bytes& value) { return Json(base64Encode(value)); }
    static Bytes decode(const Json& value);
};

template <>
struct Coder<AudioBytes> {
    static Json encode(const AudioBytes& value) { return Json(base64Encode(value.contiguous())); }
    static AudioBytes decode(const Json& value) { return AudioBytes(Coder<Bytes>::decode(value)); }
};

// A closed set's text: a case this model knows, or any other text kept as it is. A bare
// enumeration has no coder, so that no record can fail on a text the service adds later.
template <class E>
struct Coder<OpenEnum<E>> {
    static Json encode(const OpenEnum<E>& value) {
        const std::string_view text = value.rawText();
        return Json(boost::json::string_view(text.data(), text.size()));
    }
    static OpenEnum<E> decode(const Json& value) {
        if (!value.is_string()) throwWrongKind("a string", value);
        return OpenEnum<E>::fromRawText(textOf(value));
    }
};

// --- containers ----------------------------------------------------------------------------------

template <class X>
struct Coder<std::vector<X>> {
    static Json encode(const std::vector<X>& values) {
        JsonArray array;
        array.reserve(values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            try {
                array.push_back(Coder<X>::encode(values[i]));
            } catch (EncodingError& error) {
                error.prependKey(i);
                throw;
            }
        }
        return Json(std::move(array));
    }
    static std::vector<X> decode(const Json& value) {
        if (!value.is_array()) throwWrongKind("an array", value);
        const auto& elements = value.get_array();
        std::vector<X> result;
        result.reserve(elements.size());
        std::size_t index = 0;
        for (const auto& element : elements) {
            try {
                result.push_back(Coder<X>::decode(element));
            } catch (DecodingError& error) {
                error.prependKey(index);
                throw;
            }
            ++index;
        }
        return result;
    }
};

// Maps keep their keys exactly as stored, both ways.
template <class X>
struct Coder<std::map<std::string, X>> {
    static Json encode(const std::map<std::string, X>& values) {
        JsonObject object;
        for (const auto& [key, element] : values) {
            try {
                object[key] = Coder<X>::encode(element);
            } catch (EncodingError& error) {
                error.prependKey(key);
                throw;
            }
        }
        return Json(std::move(object));
    }
    // Members are read in the byte order of their keys, so the first that fails is reported.
    static std::map<std::string, X> decode(const Json& value) {
        if (!value.is_object()) throwWrongKind("an object", value);
        std::map<std::string, X> result;
        for (const auto* member : sortedMembers(value.get_object())) {
            std::string key(member->key().data(), member->key().size());
            try {
                result.emplace(std::move(key), Coder<X>::decode(member->value()));
            } catch (DecodingError& error) {
                error.prependKey(std::string(member->key().data(), member->key().size()));
                throw;
            }
        }
        return result;
    }
};

// --- records -------------------------------------------------------------------------------------

template <class T>
void encodeField(JsonObject& object, const T&, const ConstantField& field) {
    object[field.key] = boost::json::string_view(field.value.data(), field.value.size());
}

template <class T, class M>
void encodeField(JsonObject& object, const T& record, const Field<T, M>& field) {
    const M& value = record.*field.member;
    Json encoded;
    try {
        if constexpr (IsOptional<M>::value) {
            if (!value) {
                if (field.rule == FieldRule::nullWhenAbsent) object[field.key] = nullptr;
                return;
            }
            encoded = Coder<typename M::value_type>::encode(*value);
        } else {
            encoded = Coder<M>::encode(value);
        }
    } catch (EncodingError& error) {
        error.prependKey(std::string(field.key));
        throw;
    }
    object[field.key] = std::move(encoded);
}

template <class T>
void decodeField(const Json&, T&, const ConstantField&) {}

template <class T, class M>
void decodeField(const Json& object, T& record, const Field<T, M>& field) {
    std::string_view matched;
    const Json* value = findMember(object, field.name, field.key, matched);
    if (value == nullptr || value->is_null()) {
        if constexpr (!IsOptional<M>::value) {
            if (field.rule != FieldRule::absentAsEmpty) {
                if (value == nullptr) {
                    throw DecodingError(DecodingError::Kind::keyNotFound, {std::string(field.key)},
                                        "No value associated with key \"" + std::string(field.key) + "\".");
                }
                throw DecodingError(DecodingError::Kind::valueNotFound, {std::string(matched)},
                                    "Expected a value for key \"" + std::string(matched) + "\" but found null.");
            }
        }
        return;
    }
    try {
        if constexpr (IsOptional<M>::value) {
            record.*field.member = Coder<typename M::value_type>::decode(*value);
        } else {
            record.*field.member = Coder<M>::decode(*value);
        }
    } catch (DecodingError& error) {
        error.prependKey(std::string(matched));
        throw;
    }
}

// Writes the record's fields into an existing object (flat events write beside their "type").
template <Record T>
void encodeFields(JsonObject& object, const T& record) {
    std::apply([&](const auto&... field) { (encodeField(object, record, field), ...); }, T::fields());
}

template <Record T>
Json encodeRecord(const T& record) {
    JsonObject object;
    encodeFields(object, record);
    return Json(std::move(object));
}

// Reads the fields in declaration order; the first that fails is the error reported.
template <Record T>
T decodeRecord(const Json& object) {
    if (!object.is_object()) throwWrongKind("an object", object);
    T record{};
    std::apply([&](const auto&... field) { (decodeField(object, record, field), ...); }, T::fields());
    return record;
}

template <Record T>
struct Coder<T> {
    static Json encode(const T& record) { return encodeRecord(record); }
    static T decode(const Json& value) { return decodeRecord<T>(value); }
};

// --- records with a coding of their own ----------------------------------------------------------

template <>
struct Coder<ToolChoice> {
    static Json encode(const ToolChoice& choice);
    static ToolChoice decode(const Json& value);
};

// The schema records nest without bound in the data; reading stops at a fixed depth.
template <>
struct Coder<Tool::FunctionParameters::Property> {
    static Json encode(const Tool::FunctionParameters::Property& property) { return encodeRecord(property); }
    static Tool::FunctionParameters::Property decode(const Json& value);
};

template <>
struct Coder<Tool::FunctionParameters::Property::Items> {
    static Json encode(const Tool::FunctionParameters::Property::Items& items) { return encodeRecord(items); }
    static Tool::FunctionParameters::Property::Items decode(const Json& value);
};

template <>
struct Coder<Item> {
    static Json encode(const Item& item);
    static Item decode(const Json& value);
};

template <>
struct Coder<Item::Message::Content> {
    static Json encode(const Item::Message::Content& content);
    static Item::Message::Content decode(const Json& value);
};

template <>
struct Coder<Item::ContentPart> {
    static Item::ContentPart decode(const Json& value);
};

}  // namespace realtime::detail
