#include "realtime/conversation/random_id.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <set>
#include <string>

namespace {

const std::string alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

TEST(RandomID, HasTheLengthAskedForAndOnlyLettersAndDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        auto id = realtime::randomID(32);
        ASSERT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of(alphabet), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(realtime::randomID(0), "");
}

TEST(RandomID, MapsEachWordThroughTheHighHalfOfItsProductWith62) {
    // high64(w * 62) picks the character: 2^60 * 62 >> 64 = 3 ('d'), the largest word gives 61 ('9').
    std::deque<std::uint64_t> words = {std::uint64_t{1} << 60, ~std::uint64_t{0}, (std::uint64_t{1} << 63) + 1};
    auto id = realtime::randomID(3, [&] {
        auto word = words.front();
        words.pop_front();
        return word;
    });
    EXPECT_EQ(id, "d9F");  // (2^63 + 1) * 62 >> 64 = 31 ('F')
}

TEST(RandomID, RejectsWordsWhoseLowHalfFallsBelowTheBiasThreshold) {
    // 2^64 mod 62 is 16: a word whose product with 62 leaves a low half below 16 is drawn again.
    // Both 0 and 2^63 (62 * 2^63 = 31 * 2^64) leave a low half of 0.
    std::deque<std::uint64_t> words = {0, std::uint64_t{1} << 63, std::uint64_t{1} << 60};
    int draws = 0;
    auto id = realtime::randomID(1, [&] {
        ++draws;
        auto word = words.front();
        words.pop_front();
        return word;
    });
    EXPECT_EQ(id, "d");
    EXPECT_EQ(draws, 3);

    // Word 1 leaves a low half of 62, above the threshold, and picks 'a'.
    EXPECT_EQ(realtime::randomID(1, [] { return std::uint64_t{1}; }), "a");
}

}  // namespace
