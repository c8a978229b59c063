#include "realtime/conversation/random_id.hpp"

#include <random>
#include <string_view>

namespace realtime {

namespace {

__extension__ typedef unsigned __int128 Product;

constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

}  // namespace

std::string randomID(std::size_t length, const std::function<std::uint64_t()>& nextWord) {
    constexpr std::uint64_t range = alphabet.size();
    // 2^64 mod range, computed without 128-bit constants.
    constexpr std::uint64_t threshold = (0 - range) % range;
    std::string id;
    id.reserve(length);
    while (id.size() < length) {
        auto product = static_cast<Product>(nextWord()) * range;
        if (static_cast<std::uint64_t>(product) < threshold) continue;
        id.push_back(alphabet[static_cast<std::size_t>(product >> 64)]);
    }
    return id;
}

std::string randomID(std::size_t length) {
    std::random_device device;
    return randomID(length, [&device] {
        return (static_cast<std::uint64_t>(device()) << 32) | static_cast<std::uint64_t>(device());
    });
}

}  // namespace realtime
