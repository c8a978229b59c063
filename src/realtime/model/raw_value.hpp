#pragma once
// Closed sets of wire words. Each enumeration of the model specialises RawValues with its raw texts,
// indexed by the enumerators' values (declared 0, 1, 2, ... in the same order). Records hold them
// as OpenEnum, which also keeps a text that the service added after this client was written.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace realtime {

template <class E>
struct RawValues;  // static constexpr std::string_view typeName; static constexpr std::array texts;

template <class E>
concept RawRepresentable = std::is_enum_v<E> && requires { RawValues<E>::texts; };

// The raw text of a case.
template <RawRepresentable E>
constexpr std::string_view rawValue(E value) {
    return RawValues<E>::texts[static_cast<std::size_t>(value)];
}

// The case whose raw text equals the given text exactly (case-sensitive), or none.
template <RawRepresentable E>
constexpr std::optional<E> fromRawValue(std::string_view text) {
    const auto& texts = RawValues<E>::texts;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (texts[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

// Every case in declaration order.
template <RawRepresentable E>
constexpr auto allCases() {
    std::array<E, RawValues<E>::texts.size()> cases{};
    for (std::size_t i = 0; i < cases.size(); ++i) cases[i] = static_cast<E>(i);
    return cases;
}

// A value of a closed set as it travels: one of the cases this client knows, or a text the service
// uses that this client does not know (a voice, format or status added later), kept exactly as
// received so that it is written back unchanged. Made implicitly from a case. (E is left
// unconstrained here so that records can hold one before its RawValues are declared.)
template <class E>
class OpenEnum {
public:
    constexpr OpenEnum() = default;  // the first case
    constexpr OpenEnum(E value) : value_(value) {}

    // The case whose raw text equals `text` exactly, or the text itself when no case matches.
    static OpenEnum fromRawText(std::string_view text) {
        if (auto known = fromRawValue<E>(text)) return OpenEnum(*known);
        OpenEnum unknown;
        unknown.value_.template emplace<std::string>(text);
        return unknown;
    }

    // The case, or none for a text this client does not know.
    constexpr std::optional<E> known() const {
        if (const E* value = std::get_if<E>(&value_)) return *value;
        return std::nullopt;
    }
    // The text written on the wire.
    std::string_view rawText() const {
        if (const E* value = std::get_if<E>(&value_)) return rawValue(*value);
        return std::get<std::string>(value_);
    }

    // Equal when they write the same text.
    friend bool operator==(const OpenEnum&, const OpenEnum&) = default;
    friend constexpr bool operator==(const OpenEnum& open, E value) { return open.known() == value; }

private:
    std::variant<E, std::string> value_{};
};

}  // namespace realtime
