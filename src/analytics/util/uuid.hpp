#pragma once
// A 16-byte universally unique identifier with its canonical text form.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plover {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // Five groups of 8, 4, 4, 4 and 12 hexadecimal digits joined by hyphens, letters upper case.
    std::string toString() const;
    // The canonical form in either letter case; anything else gives nothing.
    static std::optional<Uuid> parse(std::string_view text);

    // Byte-wise, i.e. as 128-bit big-endian numbers.
    auto operator<=>(const Uuid&) const = default;
};

}  // namespace plover
