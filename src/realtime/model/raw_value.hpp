#pragma once
// Closed sets of wire words. Each enumeration of the model specialises RawValues with its raw texts,
// indexed by the enumerators' values (declared 0, 1, 2, ... in the same order).

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <type_traits>

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

}  // namespace realtime
