#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/print.hpp"

namespace {

TEST(PrintSink, ScopedSinkCapturesLinesFromManyThreadsAndRestoresThePreviousOne) {
    std::vector<std::string> outer;
    platform::ScopedPrintSink outerSink([&](std::string_view line) { outer.emplace_back(line); });
    {
        std::vector<std::string> inner;
        platform::ScopedPrintSink innerSink([&](std::string_view line) { inner.emplace_back(line); });
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([] {
                for (int i = 0; i < 100; ++i) platform::print("line");
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(inner.size(), 400u);
    }
    platform::print("after");
    ASSERT_EQ(outer.size(), 1u);
    EXPECT_EQ(outer[0], "after");
}

}  // namespace
