#pragma once
// The dynamic value of event properties: any JSON value, plus the values an application may hand
// over that JSON cannot hold (URLs, points in time, objects of its own), which the properties
// sanitiser converts or drops. Arrays and objects of such values nest.

#include <concepts>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analytics/util/dates.hpp"
#include "analytics/util/json.hpp"
#include "analytics/util/url.hpp"

namespace plover {

// An object of the application's own; never written as JSON.
struct OpaqueObject {
    std::shared_ptr<const void> object;
    bool operator==(const OpaqueObject& other) const { return object == other.object; }
};

class Value {
public:
    using Array = std::vector<Value>;
    using Object = std::map<std::string, Value, std::less<>>;

    Value() = default;  // null
    Value(std::nullptr_t) {}
    Value(json::value value) : storage_(std::move(value)) {}
    Value(const char* text) : storage_(json::value(json::string(text))) {}
    Value(std::string_view text) : storage_(json::value(json::string(text))) {}
    Value(const std::string& text) : storage_(json::value(json::string(text))) {}
    template <class T>
        requires std::is_arithmetic_v<T>
    Value(T number) : storage_(json::value(number)) {}
    Value(Url url) : storage_(std::move(url)) {}
    Value(Date date) : storage_(date) {}
    Value(OpaqueObject object) : storage_(std::move(object)) {}
    Value(Array array) : storage_(std::move(array)) {}
    Value(Object object) : storage_(std::move(object)) {}

    const json::value* json() const { return std::get_if<json::value>(&storage_); }
    const Url* url() const { return std::get_if<Url>(&storage_); }
    const Date* date() const { return std::get_if<Date>(&storage_); }
    const OpaqueObject* opaque() const { return std::get_if<OpaqueObject>(&storage_); }
    const Array* array() const { return std::get_if<Array>(&storage_); }
    const Object* object() const { return std::get_if<Object>(&storage_); }
    // A JSON string's text, or nothing.
    const json::string* string() const;
    // A JSON object or a Value::Object.
    bool isDictionary() const;
    // A JSON array or a Value::Array.
    bool isArray() const;

    // The JSON form, or nothing when anything inside cannot be written as JSON: a URL, a point in
    // time, an object of the application's own, or a number that is not finite.
    std::optional<json::value> toJson() const;

    // Values that have a JSON form compare by it; others compare part by part.
    friend bool operator==(const Value& a, const Value& b);

private:
    std::variant<json::value, Url, Date, OpaqueObject, Array, Object> storage_;
};

// Event properties: string keys to values.
using Properties = Value::Object;

// Every entry of a JSON object as a value.
Properties propertiesFromJson(const json::object& object);
// The JSON form of properties, or nothing when one of them has none.
std::optional<json::object> propertiesToJson(const Properties& properties);

// Thrown when something that must be written as JSON holds a value without a JSON form.
class JsonWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// As propertiesToJson(), throwing a JsonWriteError naming the first property without a JSON form.
json::object writeProperties(const Properties& properties);

}  // namespace plover
