#pragma once
// JSON values for tests, built the way a test reads best: braces make objects and arrays
// ({{"type", "t"}, {"n", 1}} is an object, {1, 2} an array), members are reached and created with
// [], and values compare by content (numbers by value whatever their kind, members in any order).
// Texts are read and written by the application's own JSON reader and writer.

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace support {

class Json {
public:
    using Members = std::vector<std::pair<std::string, Json>>;
    using Elements = std::vector<Json>;

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool value) : value_(value) {}
    template <class Integer>
        requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>)
    Json(Integer value) {
        if constexpr (std::is_signed_v<Integer>) {
            value_ = static_cast<std::int64_t>(value);
        } else {
            value_ = static_cast<std::uint64_t>(value);
        }
    }
    Json(double value) : value_(value) {}
    Json(const char* text) : value_(std::string(text)) {}
    Json(std::string text) : value_(std::move(text)) {}
    Json(std::string_view text) : value_(std::string(text)) {}
    // An object when every element is a pair whose first is a string, else an array.
    Json(std::initializer_list<Json> elements);
    Json(const Json&) = default;
    Json(Json&&) = default;
    // By value, so that `j = {other}` makes an array of one, as `Json j = {other}` does.
    Json& operator=(Json other) {
        value_ = std::move(other.value_);
        discarded_ = other.discarded_;
        return *this;
    }

    static Json array() { return fromVariant(Elements{}); }
    static Json object() { return fromVariant(Members{}); }
    // Throws std::invalid_argument on a text that is not JSON.
    static Json parse(std::string_view text);
    // Without exceptions: a text that is not JSON gives a value for which is_discarded() holds.
    static Json parse(std::string_view text, std::nullptr_t, bool allowExceptions);

    bool is_discarded() const { return discarded_; }
    bool is_null() const { return std::holds_alternative<std::monostate>(value_); }
    bool is_object() const { return std::holds_alternative<Members>(value_); }
    bool is_array() const { return std::holds_alternative<Elements>(value_); }
    bool is_string() const { return std::holds_alternative<std::string>(value_); }

    bool contains(std::string_view key) const;
    std::size_t size() const;
    // Members are created on first use; null becomes an object.
    Json& operator[](std::string_view key);
    const Json& operator[](std::string_view key) const { return at(key); }
    const Json& at(std::string_view key) const;  // throws std::out_of_range
    Json& operator[](std::size_t index);
    const Json& operator[](std::size_t index) const;
    void push_back(Json element);
    std::size_t erase(std::string_view key);
    void update(const Json& other);  // sets every member of `other`  // the number of members removed

    template <class T>
    T get() const;
    // A string member, or `fallback` when there is none.
    std::string value(std::string_view key, std::string fallback) const;

    std::string dump() const;

    friend bool operator==(const Json& a, const Json& b);
    friend std::ostream& operator<<(std::ostream& out, const Json& value) { return out << value.dump(); }

    using Variant = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Elements, Members>;
    const Variant& variant() const { return value_; }
    static Json fromVariant(Variant value) {
        Json json;
        json.value_ = std::move(value);
        return json;
    }

private:
    Variant value_;
    bool discarded_ = false;
};

template <>
std::string Json::get<std::string>() const;
template <>
std::int64_t Json::get<std::int64_t>() const;
template <>
double Json::get<double>() const;
template <>
bool Json::get<bool>() const;

}  // namespace support
