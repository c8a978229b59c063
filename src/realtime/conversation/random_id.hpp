#pragma once
// Random alphanumeric identifiers for the items this client creates.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace realtime {

// A string of `length` characters, each drawn uniformly from the 62 ASCII letters and digits with
// the system's random source.
std::string randomID(std::size_t length);

// The same with a given source of 64-bit words. A word is turned into an index by multiplying it by
// 62 as a 128-bit product and taking the high half; a word whose low half falls below 2^64 mod 62
// is rejected and another is drawn, so no character is favoured.
std::string randomID(std::size_t length, const std::function<std::uint64_t()>& nextWord);

}  // namespace realtime
