#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "analytics/util/read_write_lock.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"
#include "analytics/util/uuid.hpp"

namespace {

using namespace std::chrono_literals;
using plover::TimeBasedEpochGenerator;
using plover::Uuid;
using Clock = std::chrono::system_clock;

void expectVersionAndVariant(const Uuid& id) {
    EXPECT_EQ(id.bytes[6] >> 4, 0x7) << id.toString();
    EXPECT_EQ(id.bytes[8] >> 6, 0x2) << id.toString();
    std::string text = id.toString();
    EXPECT_EQ(text[14], '7');
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
}

// A generator whose clock stands still at `when` and whose random bits are `entropy`.
struct FixedGenerator {
    std::array<std::uint8_t, 10> entropy{};
    int randomCalls = 0;
    Clock::time_point when;
    TimeBasedEpochGenerator generator{[this] { return when; },
                                      [this](std::span<std::uint8_t> out) {
                                          ++randomCalls;
                                          std::copy(entropy.begin(), entropy.end(), out.begin());
                                          return true;
                                      }};
};

std::uint64_t timestampOf(const Uuid& id) {
    std::uint64_t ms = 0;
    for (int i = 0; i < 6; ++i) ms = ms << 8 | id.bytes[static_cast<std::size_t>(i)];
    return ms;
}

TEST(TimeBasedEpochGenerator, IdentifiersFromEightThreadsAreUniqueAndIncreasePerThread) {
    constexpr int threads = 8;
    constexpr int perThread = 10000;
    std::vector<std::vector<Uuid>> made(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&made, t] {
            made[static_cast<std::size_t>(t)].reserve(perThread);
            for (int i = 0; i < perThread; ++i) made[static_cast<std::size_t>(t)].push_back(TimeBasedEpochGenerator::v7());
        });
    }
    for (auto& worker : workers) worker.join();

    std::set<Uuid> all;
    for (auto& ids : made) {
        for (std::size_t i = 0; i < ids.size(); ++i) {
            if (i > 0) {
                ASSERT_LT(ids[i - 1], ids[i]) << ids[i - 1].toString() << " then " << ids[i].toString();
            }
            all.insert(ids[i]);
        }
        expectVersionAndVariant(ids.front());
        expectVersionAndVariant(ids.back());
    }
    EXPECT_EQ(all.size(), static_cast<std::size_t>(threads * perThread));
    auto now = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              Clock::now().time_since_epoch()).count());
    EXPECT_LE(timestampOf(*all.rbegin()), now);
    EXPECT_GT(timestampOf(*all.begin()) + 60'000, now);
}

TEST(TimeBasedEpochGenerator, SameMillisecondCountsUpFromTheRandomStartWithCarry) {
    struct Case {
        const char* name;
        std::array<std::uint8_t, 10> start;
        std::array<std::uint8_t, 10> next;  // before version and variant bits
    };
    const Case cases[] = {
        {"last byte", {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x10}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x11}},
        {"carry", {1, 2, 3, 4, 5, 6, 7, 8, 0x41, 0xFF}, {1, 2, 3, 4, 5, 6, 7, 8, 0x42, 0x00}},
        {"long carry", {1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {1, 2, 4, 0, 0, 0, 0, 0, 0, 0}},
        {"all wrap", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixedGenerator fixed;
        fixed.entropy = c.start;
        fixed.when = Clock::time_point(std::chrono::milliseconds(0x0190A1B2C3D4LL));
        Uuid first = fixed.generator.next();
        Uuid second = fixed.generator.next();
        EXPECT_EQ(fixed.randomCalls, 1);
        EXPECT_EQ(timestampOf(first), 0x0190A1B2C3D4u);
        EXPECT_EQ(first.toString().substr(0, 13), "0190A1B2-C3D4");
        for (std::size_t i = 0; i < 10; ++i) {
            std::uint8_t expected = c.next[i];
            if (i == 0) expected = static_cast<std::uint8_t>((expected & 0x0F) | 0x70);
            if (i == 2) expected = static_cast<std::uint8_t>((expected & 0x3F) | 0x80);
            EXPECT_EQ(second.bytes[6 + i], expected) << "entropy byte " << i;
        }
        expectVersionAndVariant(first);
        expectVersionAndVariant(second);
        if (std::string(c.name) != "all wrap") {
            EXPECT_LT(first, second);
        }
    }
}

TEST(TimeBasedEpochGenerator, EveryNewMillisecondAndTheFirstIdentifierTakeFreshRandomBits) {
    struct Case {
        const char* name;
        Clock::time_point when;
        std::uint64_t timestamp;
        int laterRandomCalls;
        std::uint8_t laterLastByte;
    };
    const Case cases[] = {
        {"now", Clock::time_point(1'700'000'000'123ms), 1'700'000'000'123u, 2, 0x55},
        // A clock before 1970 has no place in the time field: it reads as millisecond 0 (one
        // millisecond later too, so that identifier counts up), and the identifiers are still random.
        {"before 1970", Clock::time_point(-86'400'000ms), 0, 1, 0xAA},
        {"the epoch", Clock::time_point(0ms), 0, 2, 0x55},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        FixedGenerator fixed;
        fixed.entropy = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
        fixed.when = c.when;
        Uuid first = fixed.generator.next();
        EXPECT_EQ(fixed.randomCalls, 1);
        EXPECT_EQ(timestampOf(first), c.timestamp);
        EXPECT_EQ(first.bytes[15], 0xA9);
        fixed.when += 1ms;
        fixed.entropy[9] = 0x55;
        Uuid later = fixed.generator.next();
        EXPECT_EQ(fixed.randomCalls, c.laterRandomCalls);
        EXPECT_EQ(later.bytes[15], c.laterLastByte);
    }
    // A clock that steps back is a new millisecond too: that identifier sorts first.
    FixedGenerator fixed;
    fixed.when = Clock::time_point(5000ms);
    Uuid first = fixed.generator.next();
    fixed.when = Clock::time_point(4000ms);
    EXPECT_LT(fixed.generator.next(), first);
    EXPECT_EQ(fixed.randomCalls, 2);
}

TEST(TimeBasedEpochGenerator, FallsBackToTheSystemGeneratorWhenSecureRandomFails) {
    TimeBasedEpochGenerator generator([] { return Clock::time_point(1000ms); },
                                      [](std::span<std::uint8_t>) { return false; });
    std::set<Uuid> ids;
    for (int i = 0; i < 100; ++i) ids.insert(generator.next());
    EXPECT_EQ(ids.size(), 100u);
    expectVersionAndVariant(*ids.begin());
}

TEST(Uuid, TextFormIsUpperCaseAndParsesBackInEitherCase) {
    Uuid id;
    for (std::size_t i = 0; i < 16; ++i) id.bytes[i] = static_cast<std::uint8_t>(0x10 * i + 0x0A);
    EXPECT_EQ(id.toString(), "0A1A2A3A-4A5A-6A7A-8A9A-AABACADAEAFA");
    EXPECT_EQ(Uuid::parse("0a1a2a3a-4a5a-6a7a-8a9a-aabacadaeafa"), id);
    EXPECT_EQ(Uuid::parse(id.toString()), id);
    for (const char* bad : {"", "0A1A2A3A4A5A6A7A8A9AAABACADAEAFA", "0A1A2A3A-4A5A-6A7A-8A9A-AABACADAEAF",
                            "0A1A2A3A-4A5A-6A7A-8A9A-AABACADAEAFG", "0A1A2A3A+4A5A-6A7A-8A9A-AABACADAEAFA",
                            "{0A1A2A3A-4A5A-6A7A-8A9A-AABACADAEAF}", "0A1A2A3A-4A5A-6A7A-8A9AAAABACADAEAF-"}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
}

TEST(ReadWriteLock, AReaderWaitsForTheWriterAndSeesItsValue) {
    plover::ReadWriteLock<std::vector<int>> box(std::vector<int>{1});
    std::promise<void> holding;
    std::promise<void> release;
    auto releaseFuture = release.get_future().share();
    std::thread writer([&] {
        box.mutate([&](std::vector<int>& value) {
            holding.set_value();
            releaseFuture.wait();
            value.push_back(2);
        });
    });
    holding.get_future().wait();
    // Started while the writer holds the lock, the read can only end after the write.
    auto reader = std::async(std::launch::async, [&] { return box.get(); });
    std::this_thread::yield();
    release.set_value();
    EXPECT_EQ(reader.get(), (std::vector<int>{1, 2}));
    writer.join();

    EXPECT_EQ(box.mutate([](std::vector<int>& value) {
        value.erase(value.begin());
        return value.size();
    }), 1u);
    box.set({7});
    EXPECT_EQ(box.get(), std::vector<int>{7});
}

}  // namespace
