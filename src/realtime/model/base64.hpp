#pragma once
// Standard base64 (alphabet A-Z a-z 0-9 + /, "=" padding, no line breaks) for audio payloads.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace realtime {

using Bytes = std::vector<std::uint8_t>;

std::string base64Encode(std::span<const std::uint8_t> bytes);

// Strict decoding: the length is a multiple of four, padding only at the end, no character outside
// the alphabet (whitespace included). None when invalid.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace realtime
