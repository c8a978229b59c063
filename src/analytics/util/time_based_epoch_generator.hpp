#pragma once
// Version-7 identifiers: 48 bits of Unix time in milliseconds, then 74 random bits that count up
// for identifiers made in the same millisecond, so that they sort in the order they were made.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>

#include "analytics/util/uuid.hpp"

namespace plover {

class TimeBasedEpochGenerator {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    // Fills the bytes with secure random bits; false when it cannot.
    using RandomSource = std::function<bool(std::span<std::uint8_t>)>;

    // The system clock and the kernel's random source (getrandom).
    TimeBasedEpochGenerator();
    TimeBasedEpochGenerator(Clock clock, RandomSource random);

    // The process-wide instance every identifier of the client comes from.
    static TimeBasedEpochGenerator& shared();
    // The next identifier of the shared instance.
    static Uuid v7();

    Uuid next();

private:
    Clock clock_;
    RandomSource random_;
    std::mutex lock_;
    std::array<std::uint8_t, 10> lastEntropy_{};
    // Nothing before the first identifier, so that it always takes fresh random bits (also when
    // the clock reads millisecond 0).
    std::optional<std::uint64_t> lastTimestamp_;
};

}  // namespace plover
