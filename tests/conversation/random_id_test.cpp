#include "realtime/conversation/random_id.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <set>

namespace {

TEST(RandomID, IsMadeOfTheRequestedNumberOfLettersAndDigits) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        auto id = realtime::randomID(32);
        ASSERT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"), std::string::npos);
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(RandomID, TakesTheHighHalfOfTheProductWith62AndRejectsBiasedWords) {
    // 2^64 mod 62 is 16: words whose product with 62 leaves a low half below 16 (0 and 2^63,
    // as 62 * 2^63 = 31 * 2^64) are drawn again.
    std::deque<std::uint64_t> words = {0, std::uint64_t{1} << 63, std::uint64_t{1} << 60, ~std::uint64_t{0},
                                       (std::uint64_t{1} << 63) + 1, 1};
    auto id = realtime::randomID(4, [&] {
        auto word = words.front();
        words.pop_front();
        return word;
    });
    EXPECT_EQ(id, "d9Fa");  // indices 3, 61, 31, 0
    EXPECT_TRUE(words.empty());
}

}  // namespace
