#pragma once
// The one field list of a record. Every record of the realtime model declares its fields once, in
// declaration order, through a static `fields()` function returning a tuple of descriptors; the
// wire codec walks that tuple both to write and to read the record. A descriptor holds the field's
// camel-case name, the snake-case key it travels under (derived at compile time) and the member.

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>

namespace realtime {

// A string literal usable as a template argument: field<"eventId">(&Record::eventId).
template <std::size_t N>
struct FieldName {
    char text[N]{};
    constexpr FieldName(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

namespace detail {

// Camel case to snake case: cut before every upper-case letter, lower-case the words, join with "_".
template <FieldName Name>
struct SnakeCase {
    static constexpr std::size_t size = [] {
        std::size_t n = 0;
        for (char c : Name.view()) n += (c >= 'A' && c <= 'Z') ? 2 : 1;
        return n;
    }();
    static constexpr std::array<char, size + 1> storage = [] {
        std::array<char, size + 1> out{};
        std::size_t i = 0;
        for (char c : Name.view()) {
            if (c >= 'A' && c <= 'Z') {
                out[i++] = '_';
                out[i++] = static_cast<char>(c - 'A' + 'a');
            } else {
                out[i++] = c;
            }
        }
        return out;
    }();
    static constexpr std::string_view value{storage.data(), size};
};

template <FieldName Name>
struct NameStorage {
    static constexpr auto name = Name;
    static constexpr std::string_view value = name.view();
};

}  // namespace detail

// How a field departs from the ordinary rules of optional and required fields.
enum class FieldRule {
    standard,
    // A required value that keeps its initial value (empty bytes, a flag's default) when its key
    // is absent or null.
    absentAsEmpty,
    // An optional value that is written as null (rather than left out) when it holds nothing.
    nullWhenAbsent,
};

template <class Record, class Member>
struct Field {
    std::string_view name;  // as declared in the record, camel case
    std::string_view key;   // as written on the wire, snake case
    Member Record::*member;
    FieldRule rule = FieldRule::standard;
};

// A key whose value is fixed by the record's type; written always, never read back.
struct ConstantField {
    std::string_view key;
    std::string_view value;
};

template <FieldName Name, class Record, class Member>
constexpr Field<Record, Member> field(Member Record::*member, FieldRule rule = FieldRule::standard) {
    return {detail::NameStorage<Name>::value, detail::SnakeCase<Name>::value, member, rule};
}

template <FieldName Key, FieldName Value>
constexpr ConstantField constant() {
    return {detail::SnakeCase<Key>::value, detail::NameStorage<Value>::value};
}

}  // namespace realtime
