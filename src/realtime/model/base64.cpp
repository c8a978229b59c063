#include "realtime/model/base64.hpp"

#include <array>

namespace realtime {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> kDecodeTable = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(kInvalid);
    for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}();

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    std::string out((bytes.size() + 2) / 3 * 4, '=');
    char* o = out.data();
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) v |= std::uint32_t{bytes[i + 1]} << 8;
        *o++ = kAlphabet[(v >> 18) & 63];
        *o++ = kAlphabet[(v >> 12) & 63];
        if (rest == 2) *o++ = kAlphabet[(v >> 6) & 63];
    }
    return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return Bytes{};
    std::size_t padding = 0;
    if (text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

    Bytes out(text.size() / 4 * 3 - padding);
    std::uint8_t* o = out.data();
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t fullQuads = text.size() / 4 - 1;
    for (std::size_t q = 0; q < fullQuads; ++q, s += 4) {
        const std::uint32_t a = kDecodeTable[s[0]], b = kDecodeTable[s[1]], c = kDecodeTable[s[2]],
                            d = kDecodeTable[s[3]];
        if ((a | b | c | d) == kInvalid || ((a | b | c | d) & 0xC0) != 0) return std::nullopt;
        const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
        *o++ = static_cast<std::uint8_t>(v >> 16);
        *o++ = static_cast<std::uint8_t>(v >> 8);
        *o++ = static_cast<std::uint8_t>(v);
    }
    // The last quad may end in one or two "=".
    const std::uint32_t a = kDecodeTable[s[0]], b = kDecodeTable[s[1]];
    const std::uint32_t c = padding == 2 ? 0 : kDecodeTable[s[2]];
    const std::uint32_t d = padding >= 1 ? 0 : kDecodeTable[s[3]];
    if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;
    const std::uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    *o++ = static_cast<std::uint8_t>(v >> 16);
    if (padding < 2) *o++ = static_cast<std::uint8_t>(v >> 8);
    if (padding < 1) *o++ = static_cast<std::uint8_t>(v);
    return out;
}

}  // namespace realtime
